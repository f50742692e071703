// File stamps on POSIX: device and inode number, size, and the nanosecond modification time.
#include "platform/file_stamp.h"

#include <sys/stat.h>

#include <chrono>

namespace tessik::platform {

std::optional<FileStamp> file_stamp(const std::filesystem::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  FileStamp stamp;
  stamp.volume = static_cast<std::uint64_t>(info.st_dev);
  stamp.file = static_cast<std::uint64_t>(info.st_ino);
  stamp.size = static_cast<std::uint64_t>(info.st_size);
  stamp.modified_ns =
      static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec;
  return stamp;
}

bool stamp_settled(const std::optional<FileStamp>& before, const std::optional<FileStamp>& after) {
  constexpr std::int64_t kSettledNs = 2'000'000'000;
  if (!before || after != before) return false;
  const std::int64_t now_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                  std::chrono::system_clock::now().time_since_epoch())
                                  .count();
  return now_ns - before->modified_ns > kSettledNs;
}

}  // namespace tessik::platform
