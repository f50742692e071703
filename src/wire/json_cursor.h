// A forward-only reader of compact JSON text in a layout known in advance: the fast paths
// for the documents that cross the broker socket on every request. Plain runs of a string are
// copied in large pieces rather than byte by byte.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace tessik {

// Each call consumes what it reads only on success; after a false the cursor is spent (callers
// give up on the fast path). Strings are checked as strictly as the JSON library checks them
// (escapes, surrogate pairs, UTF-8); text outside strings must match literally.
class JsonCursor {
 public:
  explicit JsonCursor(std::string_view text) : text_(text) {}

  // Consumes `expected` when the text continues with exactly it.
  bool literal(std::string_view expected);
  bool at_end() const { return position_ == text_.size(); }
  // A JSON string (opening quote included), unescaped and appended to `out`.
  bool string(std::string& out);
  bool integer(std::int32_t& out);
  bool boolean(bool& out);
  // {"name":"value",...} with string values; a repeated name keeps its last value.
  bool string_map(std::map<std::string, std::string>& out);

 private:
  std::string_view text_;
  std::size_t position_ = 0;
};

}  // namespace tessik
