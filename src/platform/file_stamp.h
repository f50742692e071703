// What tells one version of a file from the next without reading it: its identity on the
// volume, its size and its modification time.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

namespace tessik::platform {

struct FileStamp {
  std::uint64_t volume = 0;
  std::uint64_t file = 0;  // identity on the volume; a replaced file gets a new one
  std::uint64_t size = 0;
  std::int64_t modified_ns = 0;

  bool operator==(const FileStamp&) const = default;
};

// The stamp of the file at `path` (links followed); nullopt when it cannot be examined (for
// instance, it does not exist). Never throws.
std::optional<FileStamp> file_stamp(const std::filesystem::path& path);

// Whether what was read from a file between taking `before` and `after` may be remembered
// under `before`: the file kept its stamp through the read, and its last change lies far
// enough back (2 s) that a rewrite within the clock's granularity cannot keep the same time.
bool stamp_settled(const std::optional<FileStamp>& before, const std::optional<FileStamp>& after);

}  // namespace tessik::platform
