// Secrets through getrandom(2), which needs no descriptor and no library set-up.
#include "platform/secure_random.h"

#include <sys/random.h>

#include <cerrno>
#include <stdexcept>

#include "base/random.h"

namespace tessik::platform {

std::string random_secret_bytes(std::size_t count) {
  std::string bytes(count, '\0');
  std::size_t filled = 0;
  while (filled < count) {
    // Large requests may be cut short (and interrupted); the rest is asked for again.
    const ssize_t got = ::getrandom(bytes.data() + filled, count - filled, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) throw std::runtime_error("random source failed");
    filled += static_cast<std::size_t>(got);
  }
  return bytes;
}

std::string random_secret_hex(std::size_t bytes) {
  return hex_encode(random_secret_bytes(bytes));
}

}  // namespace tessik::platform
