// Secrets from the operating system's cryptographic generator: keys, nonces, tokens and
// pairing secrets. Ids that only need to be distinct come from base/random.h instead.
#pragma once

#include <cstddef>
#include <string>

namespace tessik::platform {

// `count` bytes from the system's cryptographic generator (blocking only until it is seeded
// at boot). Thread-safe. Throws std::runtime_error ("random source failed") when the
// generator fails.
std::string random_secret_bytes(std::size_t count);

// 2 * `bytes` lower-case hex digits of random_secret_bytes(bytes).
std::string random_secret_hex(std::size_t bytes);

}  // namespace tessik::platform
