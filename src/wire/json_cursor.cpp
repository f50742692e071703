// The cursor's strings follow the JSON grammar through the shared strict token scanners:
// plain runs are skipped many bytes at a time, escapes and UTF-8 sequences are checked.
#include "wire/json_cursor.h"

#include <charconv>

#include "base/json_token_scan.h"

namespace tessik {

bool JsonCursor::literal(std::string_view expected) {
  if (text_.substr(position_, expected.size()) != expected) return false;
  position_ += expected.size();
  return true;
}

bool JsonCursor::string(std::string& out) {
  if (!literal("\"")) return false;
  const auto* begin = reinterpret_cast<const unsigned char*>(text_.data());
  const auto* end = begin + text_.size();
  const unsigned char* p = begin + position_;
  while (true) {
    const unsigned char* plain_end = skip_plain_string_bytes(p, end);
    out.append(reinterpret_cast<const char*>(p), static_cast<std::size_t>(plain_end - p));
    p = plain_end;
    if (p == end) return false;
    if (*p == '"') {
      position_ = static_cast<std::size_t>(p + 1 - begin);
      return true;
    }
    const bool scanned = *p == '\\' ? scan_json_escape(p, end, &out)
                         : *p >= 0x80 ? scan_utf8_sequence(p, end, &out)
                                      : false;  // a raw control byte
    if (!scanned) return false;
  }
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

}  // namespace tessik
