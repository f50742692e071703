// SHA-256 through OpenSSL's one-shot digest.
#include "base/sha256.h"

#include <openssl/evp.h>

#include <stdexcept>

#include "base/random.h"

namespace tessik {

std::string sha256_hex(std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
    throw std::runtime_error("sha256 digest failed");
  }
  return hex_encode(std::string_view(reinterpret_cast<const char*>(digest), length));
}

}  // namespace tessik
