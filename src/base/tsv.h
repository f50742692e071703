// Tab-separated file helpers shared by the registry readers.
#pragma once

#include <string_view>
#include <vector>

namespace tessik {

// Splits `text` at every `separator`; empty parts stay, so "a\t\tb" gives three parts.
inline std::vector<std::string_view> split_fields(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find(separator, start);
    if (end == std::string_view::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, end - start));
    start = end + 1;
  }
}

}  // namespace tessik
