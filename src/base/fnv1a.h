// FNV-1a over 64 bits: the one implementation behind every fixed-format hash of the system
// (first-message hashes of the creation log, maintenance mutex names).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tessik {

inline constexpr std::uint64_t kFnv1aOffsetBasis = 0xcbf29ce484222325ULL;
inline constexpr std::uint64_t kFnv1aPrime = 0x100000001b3ULL;

// For each byte: hash = (hash XOR byte) * prime, modulo 2^64, starting from `basis`.
constexpr std::uint64_t fnv1a_64(std::string_view bytes, std::uint64_t basis = kFnv1aOffsetBasis) {
  std::uint64_t hash = basis;
  for (const char c : bytes) {
    hash ^= static_cast<unsigned char>(c);
    hash *= kFnv1aPrime;
  }
  return hash;
}

// The hash as 16 lower-case hexadecimal digits with leading zeros.
std::string fnv1a_64_hex(std::string_view bytes);

}  // namespace tessik
