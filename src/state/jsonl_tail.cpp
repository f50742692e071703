// The window is read in one piece from its start offset; lines are then taken from its end.
#include "state/jsonl_tail.h"

#include <cstdio>
#include <memory>

#include "base/text.h"
#include "platform/files.h"

namespace tessik {

JsonlTail read_jsonl_tail(const std::filesystem::path& path, std::uint64_t max_bytes,
                          std::size_t max_lines) {
  JsonlTail tail;
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(platform::open_file_for_reading(path),
                                                             &std::fclose);
  if (!file) return tail;
  tail.exists = true;
  if (std::fseek(file.get(), 0, SEEK_END) != 0) return tail;
  const long size = std::ftell(file.get());
  if (size <= 0) return tail;
  const std::uint64_t total = static_cast<std::uint64_t>(size);
  const std::uint64_t start = total > max_bytes ? total - max_bytes : 0;
  if (std::fseek(file.get(), static_cast<long>(start), SEEK_SET) != 0) return tail;
  std::string window(static_cast<std::size_t>(total - start), '\0');
  window.resize(std::fread(window.data(), 1, window.size(), file.get()));

  std::size_t begin = 0;
  if (start > 0) {
    // The window's first line may have begun before it: keep only whole lines.
    const std::size_t newline = window.find('\n');
    begin = newline == std::string::npos ? window.size() : newline + 1;
    tail.truncated = true;
  }
  std::vector<std::string> newest_first;
  std::size_t end = window.size();
  while (end > begin) {
    const std::size_t newline = window.rfind('\n', end - 1);
    const std::size_t line_start =
        newline == std::string::npos || newline < begin ? begin : newline + 1;
    std::string line = trim(std::string_view(window).substr(line_start, end - line_start));
    end = line_start == begin ? begin : line_start - 1;
    if (line.empty()) continue;
    if (newest_first.size() == max_lines) {
      tail.truncated = true;
      break;
    }
    newest_first.push_back(std::move(line));
  }
  tail.lines.assign(newest_first.rbegin(), newest_first.rend());
  return tail;
}

}  // namespace tessik
