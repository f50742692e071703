// The cursor's string reading follows the JSON grammar: escapes of every kind, surrogate
// pairs joined, lone halves and raw control characters refused.
#include "wire/json_cursor.h"

#include <charconv>

namespace tessik {
namespace {

bool plain(char c) {
  return c != '"' && c != '\\' && static_cast<unsigned char>(c) >= 0x20;
}

void append_utf8(std::string& out, std::uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

}  // namespace

bool JsonCursor::literal(std::string_view expected) {
  if (text_.substr(position_, expected.size()) != expected) return false;
  position_ += expected.size();
  return true;
}

bool JsonCursor::string(std::string& out) {
  if (!literal("\"")) return false;
  while (position_ < text_.size()) {
    const std::size_t start = position_;
    while (position_ < text_.size() && plain(text_[position_]))
      ++position_;
    out.append(text_.data() + start, position_ - start);
    if (position_ == text_.size()) return false;
    const char c = text_[position_++];
    if (c == '"') return true;
    if (c != '\\' || !escape(out)) return false;  // a raw control character is malformed
  }
  return false;
}

bool JsonCursor::integer(std::int32_t& out) {
  const char* begin = text_.data() + position_;
  const auto [end, error] = std::from_chars(begin, text_.data() + text_.size(), out);
  if (error != std::errc() || end == begin) return false;
  position_ += static_cast<std::size_t>(end - begin);
  return true;
}

bool JsonCursor::boolean(bool& out) {
  if (literal("true")) {
    out = true;
    return true;
  }
  out = false;
  return literal("false");
}

bool JsonCursor::string_map(std::map<std::string, std::string>& out) {
  if (!literal("{")) return false;
  if (literal("}")) return true;
  do {
    std::string name;
    std::string value;
    if (!string(name) || !literal(":") || !string(value)) return false;
    out.insert_or_assign(std::move(name), std::move(value));
  } while (literal(","));
  return literal("}");
}

bool JsonCursor::hex4(std::uint32_t& out) {
  if (position_ + 4 > text_.size()) return false;
  const char* begin = text_.data() + position_;
  const auto [end, error] = std::from_chars(begin, begin + 4, out, 16);
  if (error != std::errc() || end != begin + 4) return false;
  position_ += 4;
  return true;
}

bool JsonCursor::escape(std::string& out) {
  if (position_ >= text_.size()) return false;
  switch (text_[position_++]) {
    case '"':
      out += '"';
      return true;
    case '\\':
      out += '\\';
      return true;
    case '/':
      out += '/';
      return true;
    case 'b':
      out += '\b';
      return true;
    case 'f':
      out += '\f';
      return true;
    case 'n':
      out += '\n';
      return true;
    case 'r':
      out += '\r';
      return true;
    case 't':
      out += '\t';
      return true;
    case 'u':
      return unicode(out);
    default:
      return false;
  }
}

bool JsonCursor::unicode(std::string& out) {
  std::uint32_t code = 0;
  if (!hex4(code)) return false;
  if (code >= 0xDC00 && code <= 0xDFFF) return false;  // a second half without a first
  if (code >= 0xD800 && code <= 0xDBFF) {
    std::uint32_t low = 0;
    if (!literal("\\u") || !hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
    code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
  }
  append_utf8(out, code);
  return true;
}

}  // namespace tessik
