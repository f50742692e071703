// SHA-256 digests, raw or as lower-case hexadecimal text, shared by the registry (snapshot digests,
// public ids) and the gateway (token digests).
#pragma once

#include <string>
#include <string_view>

namespace tessik {

// Returns the 64-character lower-case hexadecimal SHA-256 digest of `bytes`.
// Thread-safe; never throws except std::bad_alloc.
std::string sha256_hex(std::string_view bytes);

// Returns the 32 raw bytes of the SHA-256 digest of `bytes`. Thread-safe.
std::string sha256_digest(std::string_view bytes);

}  // namespace tessik
