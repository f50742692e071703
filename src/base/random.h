// Random ids: the one place every task, message and temporary-name id comes from. Secrets
// come from platform/secure_random.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <string_view>

namespace tessik {

// 32 lower-case hex digits from two 64-bit draws of this thread's MT19937-64, seeded once per
// thread from the OS random source. Thread-safe (one generator per thread). Ids only: an id
// generator's output lets an observer predict later ids, so never use it for a secret.
std::string random_hex_token();

// A fresh version-4 UUID in its 36-character lower-case text form, from the id generator
// above (an id, never a secret).
std::string random_uuid();

// True for the 36-character UUID text form: hex digits in groups of 8-4-4-4-12 joined by '-',
// either letter case, any version.
bool is_uuid_text(std::string_view text);

// Lower-case hex digits of `bytes`, two per byte.
std::string hex_encode(std::string_view bytes);

// An MT19937-64 whose whole state comes from `word`, called once per 32-bit seed word (as
// many as the generator's state holds). The per-thread id generator is made this way from the
// system random device; tests pass their own source.
std::mt19937_64 make_seeded_id_generator(const std::function<std::uint32_t()>& word);

// The number of 32-bit seed words make_seeded_id_generator draws: the full generator state.
inline constexpr std::size_t kIdGeneratorSeedWords =
    std::mt19937_64::state_size * (std::mt19937_64::word_size / 32);

}  // namespace tessik
