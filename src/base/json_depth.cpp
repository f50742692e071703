// One pass over the bytes with a counter: the bound exists to stop recursion, so the check
// itself must not recurse or allocate.
#include "base/json_depth.h"

namespace tessik {

bool json_nesting_within(std::string_view text, std::size_t max_depth) {
  std::size_t depth = 0;
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;  // the escaped byte can be a quote; it never ends the string
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > max_depth) return false;
    } else if ((c == ']' || c == '}') && depth > 0) {
      // Unbalanced closers are the parser's to refuse; they must not hide later openers.
      --depth;
    }
  }
  return true;
}

}  // namespace tessik
