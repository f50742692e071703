// Shared text helpers; the UTF-8 table and the JSON escape set are part of the log format.
#include "base/text.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace tessik {
namespace {

bool is_c_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_continuation(unsigned char c) {
  return c >= 0x80 && c <= 0xBF;
}

// Length of the well-formed sequence starting at text[i], or 0 when the byte does not
// start one. Follows the Unicode table of well-formed UTF-8 byte sequences.
std::size_t well_formed_length(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) -> unsigned char {
    return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0;
  };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return is_continuation(byte(1)) ? 2 : 0;
  if (lead >= 0xE0 && lead <= 0xEF) {
    unsigned char low = 0x80, high = 0xBF;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
    const unsigned char second = byte(1);
    if (second < low || second > high) return 0;
    return is_continuation(byte(2)) ? 3 : 0;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    unsigned char low = 0x80, high = 0xBF;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
    const unsigned char second = byte(1);
    if (second < low || second > high) return 0;
    return is_continuation(byte(2)) && is_continuation(byte(3)) ? 4 : 0;
  }
  return 0;
}

}  // namespace

std::string trim(std::string_view text) {
  return std::string(trim_view(text));
}

bool is_valid_utf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    // Runs of ASCII, the bulk of every document here, are skipped eight bytes at a time.
    while (i + 8 <= text.size()) {
      std::uint64_t word;
      std::memcpy(&word, text.data() + i, sizeof word);
      if ((word & 0x8080808080808080ull) != 0) break;
      i += 8;
    }
    if (i == text.size()) break;
    const std::size_t length = well_formed_length(text, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

std::string repair_utf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = well_formed_length(text, i);
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(text.substr(i, length));
      i += length;
    }
  }
  return out;
}

void append_json_escaped(std::string& out, std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  const bool valid = is_valid_utf8(text);
  const std::string repaired = valid ? std::string() : repair_utf8(text);
  const std::string_view source = valid ? text : std::string_view(repaired);
  // Bytes that need no escape are appended in runs. No reserve here: callers append many
  // short strings, and an exact reserve per call would reallocate on every one.
  std::size_t run = 0;
  for (std::size_t i = 0; i < source.size(); ++i) {
    const char c = source[i];
    if (static_cast<unsigned char>(c) >= 0x20 && c != '"' && c != '\\') continue;
    out.append(source.data() + run, i - run);
    run = i + 1;
    switch (c) {
      case '\b':
        out += "\\b";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\r':
        out += "\\r";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        out += "\\u00";
        out += kHex[(c >> 4) & 0x0F];
        out += kHex[c & 0x0F];
    }
  }
  out.append(source.data() + run, source.size() - run);
}

std::string json_escape(std::string_view text) {
  std::string out;
  append_json_escaped(out, text);
  return out;
}

void append_json_string_member(std::string& out, std::string_view key, std::string_view value) {
  out += '"';
  append_json_escaped(out, key);
  out += "\":\"";
  append_json_escaped(out, value);
  out += '"';
}

std::string format_utc_timestamp(std::int64_t unix_seconds) {
  using namespace std::chrono;
  const sys_seconds instant{seconds{unix_seconds}};
  const auto day = floor<days>(instant);
  const year_month_day date{day};
  const hh_mm_ss time{instant - day};
  char buffer[40];
  const int length = std::snprintf(
      buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
      static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
      static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
      static_cast<int>(time.seconds().count()));
  return std::string(buffer, static_cast<std::size_t>(length));
}

std::string utc_timestamp_now() {
  const auto now = std::chrono::system_clock::now();
  return format_utc_timestamp(
      std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count());
}

std::int64_t monotonic_now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string_view trim_view(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && is_c_space(text[begin]))
    ++begin;
  while (end > begin && is_c_space(text[end - 1]))
    --end;
  return text.substr(begin, end - begin);
}

std::string diagnostic_excerpt(std::string_view text) {
  constexpr std::size_t kExcerptLimit = 1200;
  std::string flat(text);
  for (char& c : flat) {
    if (c == '\t' || c == '\n' || c == '\r') c = ' ';
  }
  std::string excerpt = trim(flat);
  if (excerpt.size() > kExcerptLimit) {
    excerpt.resize(kExcerptLimit);
    excerpt += "...";
  }
  return excerpt;
}

}  // namespace tessik
