// POSIX durable writes: O_EXCL creation, fsync of the file, rename(2) (atomic within one
// directory, replacing or creating alike), and fsync of the directory so the rename itself
// survives a power loss.
#include "platform/durable_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <string>

#include "base/random.h"

namespace tessik::platform {
namespace {

constexpr std::string_view kTemporaryMarker = ".tmp.";

int fd_of(FileHandle handle) {
  return static_cast<int>(handle);
}

// A zombie or a process of another user still counts as running: its id is not free yet.
bool process_runs(pid_t pid) {
  return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM);
}

bool is_random_id(std::string_view text) {
  return text.size() == 32 && text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

// Only names this module made count: ".tmp." then "<pid>-<id>", or a bare "<id>" as written
// before temporaries carried their writer's process id. Anything else is somebody's data.
bool writer_is_gone(std::string_view name) {
  const std::size_t marker = name.rfind(kTemporaryMarker);
  if (marker == std::string_view::npos) return false;
  const std::string_view rest = name.substr(marker + kTemporaryMarker.size());
  if (is_random_id(rest)) return true;
  const std::size_t dash = rest.find('-');
  if (dash == std::string_view::npos || !is_random_id(rest.substr(dash + 1))) return false;
  pid_t pid = 0;
  const auto parsed = std::from_chars(rest.data(), rest.data() + dash, pid);
  if (parsed.ec != std::errc() || parsed.ptr != rest.data() + dash) return false;
  return !process_runs(pid);
}

}  // namespace

int file_exists_error_code() {
  return EEXIST;
}

FileHandle create_new_file(const std::filesystem::path& path, unsigned mode, int& error_code) {
  for (;;) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          static_cast<mode_t>(mode));
    if (fd >= 0) {
      // The umask may have narrowed the mode; owner-only files must stay owner-only and
      // shared files readable, so set the bits exactly.
      if (::fchmod(fd, static_cast<mode_t>(mode)) != 0) {
        error_code = errno;
        ::close(fd);
        ::unlink(path.c_str());
        return kInvalidFileHandle;
      }
      return fd;
    }
    if (errno == EINTR) continue;
    error_code = errno;
    return kInvalidFileHandle;
  }
}

bool write_all(FileHandle handle, std::string_view bytes, int& error_code) {
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::write(fd_of(handle), bytes.data() + written, bytes.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      error_code = errno;
      return false;
    }
    if (n == 0) {
      error_code = EIO;
      return false;
    }
    written += static_cast<std::size_t>(n);
  }
  return true;
}

bool flush_file(FileHandle handle, int& error_code) {
  for (;;) {
    if (::fsync(fd_of(handle)) == 0) return true;
    if (errno == EINTR) continue;
    error_code = errno;
    return false;
  }
}

bool close_file(FileHandle handle, int& error_code) {
  // Linux releases the descriptor even when close reports EINTR, and the data was already
  // flushed, so only other errors count; retrying could close a reused descriptor.
  if (::close(fd_of(handle)) == 0 || errno == EINTR) return true;
  error_code = errno;
  return false;
}

bool replace_file(const std::filesystem::path& source, const std::filesystem::path& destination,
                  int& error_code) {
  if (::rename(source.c_str(), destination.c_str()) == 0) return true;
  error_code = errno;
  return false;
}

bool link_file_exclusive(const std::filesystem::path& source,
                         const std::filesystem::path& destination, int& error_code) {
  if (::link(source.c_str(), destination.c_str()) == 0) return true;
  error_code = errno;
  return false;
}

bool flush_directory(const std::filesystem::path& directory, int& error_code) {
  const std::filesystem::path dir = directory.empty() ? std::filesystem::path(".") : directory;
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    error_code = errno;
    return false;
  }
  bool ok = true;
  while (::fsync(fd) != 0) {
    if (errno == EINTR) continue;
    error_code = errno;
    ok = false;
    break;
  }
  ::close(fd);
  return ok;
}

void remove_file_quietly(const std::filesystem::path& path) {
  ::unlink(path.c_str());
}

std::filesystem::path temporary_sibling_path(const std::filesystem::path& destination) {
  std::filesystem::path temporary = destination;
  temporary +=
      std::string(kTemporaryMarker) + std::to_string(::getpid()) + "-" + random_hex_token();
  return temporary;
}

std::size_t remove_abandoned_temporaries(const std::filesystem::path& root) {
  std::size_t removed = 0;
  std::error_code error;
  std::filesystem::recursive_directory_iterator it(
      root, std::filesystem::directory_options::skip_permission_denied, error);
  for (const std::filesystem::recursive_directory_iterator end; !error && it != end;
       it.increment(error)) {
    std::error_code ignored;
    if (!it->is_regular_file(ignored) || it->is_symlink(ignored)) continue;
    if (!writer_is_gone(it->path().filename().native())) continue;
    if (::unlink(it->path().c_str()) == 0) ++removed;
  }
  return removed;
}

}  // namespace tessik::platform
