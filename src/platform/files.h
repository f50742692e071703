// Small file services the portable code cannot express with the standard library, and the one
// place where the owner-only modes of private state are decided.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string_view>
#include <system_error>

namespace tessik::platform {

// Appends `bytes` to `path` (created owner-only if missing) with one open-append-close cycle,
// so records from concurrent writers interleave only at record boundaries.
// Returns false when the file cannot be opened or the write fails.
bool append_to_file(const std::filesystem::path& path, std::string_view bytes);

// An append-only file kept open between appends, so a writer of many records opens it once.
// Each append is one write at the end of the file, as append_to_file's is. Before writing it
// checks that `path` still names the open file: a file another process rotated away or
// replaced is closed and `path` opened (created owner-only) again. Thread-safe.
class AppendFile {
 public:
  explicit AppendFile(std::filesystem::path path);
  ~AppendFile();
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // False when the file cannot be opened (its directory missing, say) or the write fails.
  bool append(std::string_view bytes);

 private:
  bool open_current();

  std::filesystem::path path_;
  std::mutex mutex_;
  int handle_ = -1;
  std::uint64_t device_ = 0;
  std::uint64_t inode_ = 0;
};

// Creates `directory` and its missing ancestors, each owner-only (0700 on POSIX) whatever the
// umask. Directories that exist already are left as they are. Sets `error` on failure.
void create_private_directories(const std::filesystem::path& directory, std::error_code& error);

// Creates the single directory `directory` owner-only. True when this call created it; false
// with `error` clear when it already existed (the mkdir-lock idiom), false with `error` set on
// any other failure.
bool create_private_directory(const std::filesystem::path& directory, std::error_code& error);

// Takes group and other access away from `root` and everything below it that belongs to this
// user, without following links. Best effort: entries that cannot be changed are passed over.
// Returns the number of entries whose mode was narrowed.
std::size_t tighten_private_tree(const std::filesystem::path& root);

// Opens `path` for reading bytes as a C stream (closed with std::fclose); nullptr when it
// cannot be opened. Paths are passed in the system's own encoding, wide where it is wide.
std::FILE* open_file_for_reading(const std::filesystem::path& path);

// Which file an open stream or a path names, how large it is and when it last changed: enough for a cache
// of a file's contents to tell growth (same file, larger size) from replacement (another device
// or inode).
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t size = 0;
  std::int64_t modified_ns = 0;

  bool operator==(const FileIdentity&) const = default;

  bool same_file(const FileIdentity& other) const {
    return device == other.device && inode == other.inode;
  }
};

// The identity of the file behind `file`; nothing when the system cannot tell.
std::optional<FileIdentity> file_identity(std::FILE* file);
// The identity of the file at `path` (links followed); nothing when it cannot be examined
// (for instance, it does not exist). Never throws.
std::optional<FileIdentity> file_identity(const std::filesystem::path& path);

// Whether what was read from a file between taking `before` and `after` may be remembered
// under `before`: the file kept its identity through the read, and its last change lies far
// enough back (2 s) that a rewrite within the clock's granularity cannot keep the same time.
bool identity_settled(const std::optional<FileIdentity>& before,
                      const std::optional<FileIdentity>& after);

}  // namespace tessik::platform
