// POSIX durable writes: O_EXCL creation, fsync of the file, rename(2) (atomic within one
// directory, replacing or creating alike), and fsync of the directory so the rename itself
// survives a power loss.
#include "platform/durable_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace tessik::platform {
namespace {

int fd_of(FileHandle handle) {
  return static_cast<int>(handle);
}

}  // namespace

int file_exists_error_code() {
  return EEXIST;
}

FileHandle create_new_file(const std::filesystem::path& path, unsigned mode, int& error_code) {
  for (;;) {
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, static_cast<mode_t>(mode));
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

}  // namespace tessik::platform
