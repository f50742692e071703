// The per-thread id generator.
#include "base/random.h"

#include <cstdio>
#include <random>

namespace tessik {

std::string random_hex_token() {
  thread_local std::mt19937_64 generator{std::random_device{}()};
  char text[33];
  std::snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(generator()),
                static_cast<unsigned long long>(generator()));
  return std::string(text, 32);
}

}  // namespace tessik
