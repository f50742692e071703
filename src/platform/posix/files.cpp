// POSIX file append and private modes. O_APPEND makes each write land at the end atomically
// with respect to other appenders, so one write per record keeps records whole. Modes are set
// with chmod after creation because the umask may only narrow them; the owner bits must stay.
#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <utility>

namespace tessik::platform {
namespace {

constexpr mode_t kPrivateFileMode = 0600;
constexpr mode_t kPrivateDirectoryMode = 0700;

// Writes all of `bytes` to `fd`, restarting after interruptions.
bool write_all(int fd, std::string_view bytes) {
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    written += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

AppendFile::AppendFile(std::filesystem::path path) : path_(std::move(path)) {}

AppendFile::~AppendFile() {
  if (handle_ >= 0) ::close(handle_);
}

bool AppendFile::open_current() {
  if (handle_ >= 0) ::close(handle_);
  handle_ = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, kPrivateFileMode);
  struct stat opened {};
  if (handle_ >= 0 && ::fstat(handle_, &opened) != 0) {
    ::close(handle_);
    handle_ = -1;
  }
  if (handle_ < 0) return false;
  device_ = opened.st_dev;
  inode_ = opened.st_ino;
  return true;
}

bool AppendFile::append(std::string_view bytes) {
  const std::lock_guard lock(mutex_);
  struct stat current {};
  const bool same_file = handle_ >= 0 && ::stat(path_.c_str(), &current) == 0 &&
                         current.st_dev == device_ && current.st_ino == inode_;
  if (!same_file && !open_current()) return false;
  return write_all(handle_, bytes);
}

bool append_to_file(const std::filesystem::path& path, std::string_view bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, kPrivateFileMode);
  if (fd < 0) return false;
  bool ok = write_all(fd, bytes);
  if (::close(fd) != 0) ok = false;
  return ok;
}

bool create_private_directory(const std::filesystem::path& directory, std::error_code& error) {
  error.clear();
  if (::mkdir(directory.c_str(), kPrivateDirectoryMode) == 0) {
    if (::chmod(directory.c_str(), kPrivateDirectoryMode) != 0) {
      error.assign(errno, std::generic_category());
      return false;
    }
    return true;
  }
  const int code = errno;
  struct stat info {};
  if (code == EEXIST && ::stat(directory.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    return false;
  }
  error.assign(code, std::generic_category());
  return false;
}

void create_private_directories(const std::filesystem::path& directory, std::error_code& error) {
  error.clear();
  if (directory.empty()) return;
  struct stat info {};
  if (::stat(directory.c_str(), &info) == 0) {
    if (!S_ISDIR(info.st_mode)) error = std::make_error_code(std::errc::not_a_directory);
    return;
  }
  const std::filesystem::path parent = directory.parent_path();
  if (!parent.empty() && parent != directory) {
    create_private_directories(parent, error);
    if (error) return;
  }
  create_private_directory(directory, error);
}

std::size_t tighten_private_tree(const std::filesystem::path& root) {
  std::size_t narrowed = 0;
  const uid_t owner = ::geteuid();
  auto narrow = [&](const std::filesystem::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || S_ISLNK(info.st_mode) || info.st_uid != owner) return;
    if ((info.st_mode & 077) == 0) return;
    if (::chmod(path.c_str(), info.st_mode & 07700) == 0) ++narrowed;
  };
  std::error_code error;
  if (!std::filesystem::is_directory(std::filesystem::symlink_status(root, error))) return 0;
  narrow(root);
  std::filesystem::recursive_directory_iterator it(
      root, std::filesystem::directory_options::skip_permission_denied, error);
  for (const std::filesystem::recursive_directory_iterator end; !error && it != end;
       it.increment(error)) {
    narrow(it->path());
  }
  return narrowed;
}

std::FILE* open_file_for_reading(const std::filesystem::path& path) {
  return std::fopen(path.c_str(), "rbe");  // "e": close-on-exec, as every other descriptor here
}

namespace {

FileIdentity identity_of(const struct stat& info) {
  return FileIdentity{static_cast<std::uint64_t>(info.st_dev),
                      static_cast<std::uint64_t>(info.st_ino),
                      static_cast<std::uint64_t>(info.st_size),
                      static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 +
                          info.st_mtim.tv_nsec};
}

}  // namespace

std::optional<FileIdentity> file_identity(std::FILE* file) {
  struct stat info {};
  if (file == nullptr || ::fstat(::fileno(file), &info) != 0) return std::nullopt;
  return identity_of(info);
}

std::optional<FileIdentity> file_identity(const std::filesystem::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return identity_of(info);
}

bool identity_settled(const std::optional<FileIdentity>& before,
                      const std::optional<FileIdentity>& after) {
  constexpr std::int64_t kSettledNs = 2'000'000'000;
  if (!before || after != before) return false;
  const std::int64_t now_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                  std::chrono::system_clock::now().time_since_epoch())
                                  .count();
  return now_ns - before->modified_ns > kSettledNs;
}

}  // namespace tessik::platform
