// Named mutex on POSIX: flock on a lock file in the pipe directory. The kernel drops the lock
// when its holder dies, which matches an abandoned Windows mutex counting as acquired.
#include "platform/named_mutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/pipe_directory.h"

namespace tessik::platform {

NamedMutex::NamedMutex(NamedMutex&& other) noexcept : handle_(other.handle_) {
  other.handle_ = -1;
}

NamedMutex& NamedMutex::operator=(NamedMutex&& other) noexcept {
  if (this != &other) {
    release();
    handle_ = other.handle_;
    other.handle_ = -1;
  }
  return *this;
}

NamedMutex::~NamedMutex() {
  release();
}

void NamedMutex::release() {
  if (handle_ >= 0) {
    ::flock(handle_, LOCK_UN);
    ::close(handle_);
    handle_ = -1;
  }
}

NamedMutex NamedMutex::acquire(const std::string& name, std::uint32_t timeout_ms) {
  NamedMutex mutex;
  std::filesystem::path path;
  try {
    path = pipe_directory() / (name + ".lock");
  } catch (...) {
    return mutex;
  }
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return mutex;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      mutex.handle_ = fd;
      return mutex;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) break;
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ::close(fd);
  return mutex;
}

}  // namespace tessik::platform
