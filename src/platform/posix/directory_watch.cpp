// Directory change notifications with inotify: one watch descriptor per object, waited on
// with poll() and drained on re-arm.
#include "platform/directory_watch.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <utility>

namespace tessik::platform {

DirectoryWatch::DirectoryWatch(DirectoryWatch&& other) noexcept
    : handle_(std::exchange(other.handle_, -1)) {}

DirectoryWatch& DirectoryWatch::operator=(DirectoryWatch&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, -1);
  }
  return *this;
}

bool DirectoryWatch::open(const std::filesystem::path& directory, int& error_code) {
  close();
  const int handle = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (handle < 0) {
    error_code = errno;
    return false;
  }
  constexpr std::uint32_t kNameChanges =
      IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_CLOSE_WRITE | IN_ONLYDIR;
  if (::inotify_add_watch(handle, directory.c_str(), kNameChanges) < 0) {
    error_code = errno;
    ::close(handle);
    return false;
  }
  handle_ = handle;
  return true;
}

void DirectoryWatch::close() {
  if (handle_ >= 0) ::close(std::exchange(handle_, -1));
}

DirectoryWaitStatus DirectoryWatch::wait(std::int64_t timeout_ms, int& error_code) {
  if (handle_ < 0) {
    error_code = EBADF;
    return DirectoryWaitStatus::failed;
  }
  const int wait_ms = static_cast<int>(std::clamp<std::int64_t>(timeout_ms, 1, INT_MAX));
  pollfd entry{handle_, POLLIN, 0};
  const int ready = ::poll(&entry, 1, wait_ms);
  if (ready < 0) {
    if (errno == EINTR) return DirectoryWaitStatus::timed_out;  // the caller re-checks its clock
    error_code = errno;
    return DirectoryWaitStatus::failed;
  }
  if (ready == 0) return DirectoryWaitStatus::timed_out;
  if ((entry.revents & (POLLERR | POLLNVAL)) != 0) {
    error_code = EIO;
    return DirectoryWaitStatus::failed;
  }
  return DirectoryWaitStatus::changed;
}

bool DirectoryWatch::rearm(int& error_code) {
  if (handle_ < 0) {
    error_code = EBADF;
    return false;
  }
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    const ssize_t length = ::read(handle_, buffer, sizeof buffer);
    if (length > 0) continue;
    if (length < 0 && errno == EINTR) continue;
    if (length < 0 && errno != EAGAIN) {
      error_code = errno;
      return false;
    }
    return true;
  }
}

}  // namespace tessik::platform
