// Shared text helpers: trimming, UTF-8 repair, JSON string escaping, timestamps, clocks.
// Every module uses these; none keeps a private copy.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tessik {

// Removes C-locale white space (space, \t, \n, \v, \f, \r) from both ends.
std::string trim(std::string_view text);

// True when `text` is well-formed UTF-8 (the Unicode table of well-formed sequences).
bool is_valid_utf8(std::string_view text);

// Returns `text` with every byte that does not start a well-formed UTF-8 sequence
// replaced by U+FFFD; well-formed sequences are kept whole.
std::string repair_utf8(std::string_view text);

// Appends the JSON string escape of `text` (without quotes) to `out`: \b \t \n \f \r \" \\,
// other bytes below 0x20 as \u00xx (lower-case hex), everything else unchanged.
// The input is repaired to well-formed UTF-8 first, so the output is always valid JSON.
void append_json_escaped(std::string& out, std::string_view text);
std::string json_escape(std::string_view text);
// Appends "key":"value" with key and value escaped as above; separators are the caller's.
void append_json_string_member(std::string& out, std::string_view key, std::string_view value);

// Current UTC time as "%Y-%m-%dT%H:%M:%SZ".
std::string utc_timestamp_now();
// The same form for seconds since the Unix epoch.
std::string format_utc_timestamp(std::int64_t unix_seconds);

// Monotonic clock in nanoseconds, for durations and deadlines.
std::int64_t monotonic_now_ns();

// ASCII lower-casing; other bytes are unchanged.
std::string ascii_lower(std::string_view text);

// A diagnostic excerpt of child-process output or a file: tab, LF and CR become spaces, the
// text is trimmed and, past 1200 characters, cut to 1200 and followed by "...".
std::string diagnostic_excerpt(std::string_view text);

// trim() without the copy: a view of `text` without C-locale white space at both ends.
std::string_view trim_view(std::string_view text);

}  // namespace tessik
