// Open-file-description locks: unlike classic fcntl locks they belong to the open handle,
// not the process, so two handles in one process contend like two processes, and closing an
// unrelated descriptor of the same file never drops the lock.
#include "platform/file_lock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace tessik::platform {
namespace {

int fd_of(LockHandle handle) {
  return static_cast<int>(handle);
}

struct flock whole_file(short type) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;  // to the end of any possible file
  lock.l_pid = 0;  // required by OFD locks
  return lock;
}

}  // namespace

LockHandle open_lock_file(const std::filesystem::path& path, int& error_code) {
  for (;;) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
    if (errno == EINTR) continue;
    error_code = errno;
    return kInvalidLockHandle;
  }
}

LockHandle open_existing_lock_file(const std::filesystem::path& path, int& error_code) {
  int fd = -1;
  for (;;) {
    fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) break;
    if (errno == EINTR) continue;
    error_code = errno;
    return kInvalidLockHandle;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
    error_code = EACCES;
    ::close(fd);
    return kInvalidLockHandle;
  }
  return fd;
}

bool read_lock_file(LockHandle handle, std::uint64_t limit, std::string& contents) {
  struct stat info {};
  if (::fstat(handle, &info) != 0 || static_cast<std::uint64_t>(info.st_size) > limit) return false;
  contents.resize(static_cast<std::size_t>(info.st_size));
  std::size_t got = 0;
  while (got < contents.size()) {
    const ssize_t n = ::pread(handle, contents.data() + got, contents.size() - got,
                              static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;  // shortened meanwhile: what is there is what was written
    got += static_cast<std::size_t>(n);
  }
  contents.resize(got);
  return true;
}

bool lock_file_is_linked_at(LockHandle handle, const std::filesystem::path& path) {
  struct stat open_file {};
  struct stat named {};
  return ::fstat(fd_of(handle), &open_file) == 0 && open_file.st_nlink > 0 &&
         ::lstat(path.c_str(), &named) == 0 && named.st_dev == open_file.st_dev &&
         named.st_ino == open_file.st_ino;
}

LockAttempt try_lock_whole_file(LockHandle handle, int& error_code) {
  struct flock lock = whole_file(F_WRLCK);
  for (;;) {
    if (::fcntl(fd_of(handle), F_OFD_SETLK, &lock) == 0) return LockAttempt::acquired;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EACCES) return LockAttempt::busy;
    error_code = errno;
    return LockAttempt::failed;
  }
}

void unlock_whole_file(LockHandle handle) {
  if (handle == kInvalidLockHandle) return;
  struct flock lock = whole_file(F_UNLCK);
  ::fcntl(fd_of(handle), F_OFD_SETLK, &lock);
}

void close_lock_file(LockHandle handle) {
  if (handle == kInvalidLockHandle) return;
  ::close(fd_of(handle));  // retrying close after EINTR could close a reused descriptor
}

}  // namespace tessik::platform
