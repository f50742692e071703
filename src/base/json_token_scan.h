// Byte-level pieces of a strict JSON scan: escapes, UTF-8 sequences, numbers, and a word-at-
// a-time test for the bytes a string scan must stop at. Each scanner advances `p` past what it
// accepted and returns false on text the JSON grammar refuses; `p` is then unspecified.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// The first byte at or after `p` that a string scan must look at (a quote, backslash, control
// or non-ASCII byte), or `end`. Sixteen bytes at a time where the CPU offers it.
inline const unsigned char* skip_plain_string_bytes(const unsigned char* p,
                                                    const unsigned char* end) {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i space = _mm_set1_epi8(0x20);
  while (end - p >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    // A signed compare: bytes from 0x80 up are negative, so one test finds control bytes and
    // non-ASCII bytes alike.
    const __m128i stop =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                     _mm_cmplt_epi8(v, space));
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(stop));
    if (mask != 0) return p + std::countr_zero(mask);
    p += 16;
  }
#endif
  while (end - p >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    const std::uint64_t mask = json_string_attention_mask(word);
    if (mask != 0) {
      if constexpr (std::endian::native == std::endian::little) p += std::countr_zero(mask) / 8;
      break;
    }
    p += 8;
  }
  while (p < end && *p >= 0x20 && *p < 0x80 && *p != '"' && *p != '\\')
    ++p;
  return p;
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
