// Byte-level pieces of a strict JSON scan: escapes, UTF-8 sequences, numbers, and a word-at-
// a-time test for the bytes a string scan must stop at. Each scanner advances `p` past what it
// accepted and returns false on text the JSON grammar refuses; `p` is then unspecified.
#pragma once

#include <cstdint>
#include <string>

namespace tessik {

// High bit set in the byte of the first quote, backslash, control byte or non-ASCII byte of
// eight bytes read little-endian (bits above it may be spurious).
inline std::uint64_t json_string_attention_mask(std::uint64_t v) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  constexpr std::uint64_t kHigh = 0x8080808080808080ull;
  const std::uint64_t quote = v ^ (kOnes * '"');
  const std::uint64_t backslash = v ^ (kOnes * '\\');
  const std::uint64_t has_quote = (quote - kOnes) & ~quote;
  const std::uint64_t has_backslash = (backslash - kOnes) & ~backslash;
  const std::uint64_t has_control = (v - kOnes * 0x20) & ~v;
  return (has_quote | has_backslash | has_control | v) & kHigh;
}

// `p` at the backslash. Appends the decoded character to `out` when given; surrogates must
// pair up.
bool scan_json_escape(const unsigned char*& p, const unsigned char* end, std::string* out);

// `p` at a byte of 0x80 or above: one well-formed UTF-8 sequence, copied to `out` when given.
bool scan_utf8_sequence(const unsigned char*& p, const unsigned char* end, std::string* out);

// One number. Sets `needs_library` for exponents and very long numbers, whose fate (a double
// overflow) the JSON library decides.
bool scan_json_number(const unsigned char*& p, const unsigned char* end, bool& needs_library);

}  // namespace tessik
