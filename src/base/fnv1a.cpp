// Hexadecimal form of the FNV-1a hash.
#include "base/fnv1a.h"

namespace tessik {

std::string fnv1a_64_hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::uint64_t hash = fnv1a_64(bytes);
  std::string out(16, '0');
  for (int i = 15; i >= 0; --i) {
    out[static_cast<std::size_t>(i)] = kDigits[hash & 0xf];
    hash >>= 4;
  }
  return out;
}

}  // namespace tessik
