// The per-thread id generator and the text forms of its ids.
#include "base/random.h"

#include <array>
#include <cstdio>

namespace tessik {

std::mt19937_64 make_seeded_id_generator(const std::function<std::uint32_t()>& word) {
  // One 32-bit seed would leave only 2^32 possible id streams, which an observer of a single
  // id can search through; a seed sequence as large as the state leaves no such shortcut.
  std::array<std::uint32_t, kIdGeneratorSeedWords> words{};
  for (std::uint32_t& w : words)
    w = word();
  std::seed_seq sequence(words.begin(), words.end());
  return std::mt19937_64(sequence);
}

std::string random_hex_token() {
  thread_local std::mt19937_64 generator = [] {
    std::random_device device;
    return make_seeded_id_generator([&device] { return static_cast<std::uint32_t>(device()); });
  }();
  char text[33];
  std::snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(generator()),
                static_cast<unsigned long long>(generator()));
  return std::string(text, 32);
}

std::string random_uuid() {
  std::string hex = random_hex_token();
  hex[12] = '4';  // version 4: random
  const int nibble = hex[16] >= 'a' ? hex[16] - 'a' + 10 : hex[16] - '0';
  hex[16] = "89ab"[nibble & 3];  // variant bits 10
  return hex.substr(0, 8) + '-' + hex.substr(8, 4) + '-' + hex.substr(12, 4) + '-' +
         hex.substr(16, 4) + '-' + hex.substr(20, 12);
}

bool is_uuid_text(std::string_view text) {
  if (text.size() != 36) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool dash_position = i == 8 || i == 13 || i == 18 || i == 23;
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (dash_position ? c != '-' : !hex) return false;
  }
  return true;
}

std::string hex_encode(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out.push_back(kHex[c >> 4]);
    out.push_back(kHex[c & 0x0F]);
  }
  return out;
}

}  // namespace tessik
