// Reading the newest records of a JSON Lines log without reading the whole file: the tail a
// viewer shows of logs that may have grown to their rotation size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace tessik {

struct JsonlTail {
  bool exists = false;             // the file was there and could be opened
  std::vector<std::string> lines;  // oldest first; trimmed, blank lines skipped
  bool truncated = false;          // older lines were left out
};

// At most `max_lines` of the last complete lines within the final `max_bytes` of `path`.
// A first line cut by the byte window is dropped. Never throws; a missing or unreadable file
// gives `exists` false and no lines.
JsonlTail read_jsonl_tail(const std::filesystem::path& path, std::uint64_t max_bytes,
                          std::size_t max_lines);

}  // namespace tessik
