// Strict JSON token pieces; the checks mirror nlohmann::json's lexer.
#include "base/json_token_scan.h"

namespace tessik {
namespace {

int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool read_hex4(const unsigned char*& p, const unsigned char* end, std::uint32_t& unit) {
  if (end - p < 4) return false;
  unit = 0;
  for (int i = 0; i < 4; ++i) {
    const int digit = hex_value(p[i]);
    if (digit < 0) return false;
    unit = unit * 16 + static_cast<std::uint32_t>(digit);
  }
  p += 4;
  return true;
}

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

bool scan_json_escape(const unsigned char*& p, const unsigned char* end, std::string* out) {
  ++p;  // backslash
  if (p == end) return false;
  const unsigned char c = *p++;
  char plain = 0;
  switch (c) {
    case '"':
    case '\\':
    case '/':
      plain = static_cast<char>(c);
      break;
    case 'b':
      plain = '\b';
      break;
    case 'f':
      plain = '\f';
      break;
    case 'n':
      plain = '\n';
      break;
    case 'r':
      plain = '\r';
      break;
    case 't':
      plain = '\t';
      break;
    case 'u': {
      std::uint32_t unit = 0;
      if (!read_hex4(p, end, unit)) return false;
      if (unit >= 0xDC00 && unit <= 0xDFFF) return false;  // lone low surrogate
      if (unit >= 0xD800 && unit <= 0xDBFF) {
        std::uint32_t low = 0;
        if (end - p < 2 || p[0] != '\\' || p[1] != 'u') return false;
        p += 2;
        if (!read_hex4(p, end, low) || low < 0xDC00 || low > 0xDFFF) return false;
        unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
      }
      if (out != nullptr) append_utf8(*out, unit);
      return true;
    }
    default:
      return false;
  }
  if (out != nullptr) *out += plain;
  return true;
}

// One well-formed UTF-8 sequence (the Unicode table of well-formed byte sequences).
bool scan_utf8_sequence(const unsigned char*& p, const unsigned char* end, std::string* out) {
  const unsigned char lead = *p;
  int length = 0;
  unsigned char low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return false;
  }
  if (end - p < length) return false;
  if (p[1] < low || p[1] > high) return false;
  for (int i = 2; i < length; ++i) {
    if (p[i] < 0x80 || p[i] > 0xBF) return false;
  }
  if (out != nullptr) out->append(reinterpret_cast<const char*>(p), length);
  p += length;
  return true;
}

bool scan_json_number(const unsigned char*& p, const unsigned char* end, bool& needs_library) {
  const unsigned char* start = p;
  const auto digits = [&] {
    const unsigned char* first = p;
    while (p < end && *p >= '0' && *p <= '9')
      ++p;
    return p > first;
  };
  if (p < end && *p == '-') ++p;
  if (p == end) return false;
  if (*p == '0') {
    ++p;
  } else if (!digits()) {
    return false;
  }
  if (p < end && *p == '.') {
    ++p;
    if (!digits()) return false;
  }
  if (p < end && (*p == 'e' || *p == 'E')) {
    ++p;
    if (p < end && (*p == '+' || *p == '-')) ++p;
    if (!digits()) return false;
    needs_library = true;  // the library refuses values that overflow a double
  }
  if (p - start > 300) needs_library = true;
  return true;
}

}  // namespace tessik
