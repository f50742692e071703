// Local sockets on POSIX: Unix-domain stream sockets, non-blocking, waited on with poll() over
// {socket, stop event} so that a deadline or a stop interrupts any wait promptly.
#include "platform/local_socket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <thread>
#include <utility>

#include "base/text.h"
#include "platform/pipe_directory.h"
#include "platform/stop_signal.h"

namespace tessik::platform {
namespace {

constexpr int kListenBacklog = 64;

std::uint32_t errno_code(int error) {
  return static_cast<std::uint32_t>(error);
}

// Milliseconds left until the deadline, rounded up so a wait never ends early.
int remaining_ms(std::int64_t deadline_ns) {
  const std::int64_t left = deadline_ns - monotonic_now_ns();
  if (left <= 0) return 0;
  const std::int64_t ms = (left + 999'999) / 1'000'000;
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

enum class WaitOutcome { ready, timed_out, stopped, failed };

// Waits until `fd` shows `events` (or an error), the deadline passes or the stop fires.
WaitOutcome wait_ready(int fd, short events, std::int64_t deadline_ns, const StopSignal* stop,
                       int& error) {
  for (;;) {
    if (stop && stop->stop_requested()) return WaitOutcome::stopped;
    const int timeout = remaining_ms(deadline_ns);
    if (timeout == 0) return WaitOutcome::timed_out;
    pollfd fds[2] = {{fd, events, 0}, {stop ? stop->wait_handle() : -1, POLLIN, 0}};
    const int count = ::poll(fds, stop && stop->wait_handle() >= 0 ? 2 : 1, timeout);
    if (count < 0) {
      if (errno == EINTR) continue;  // a stop signal lands here; the loop head sees it
      error = errno;
      return WaitOutcome::failed;
    }
    if (count == 0) continue;  // rounding: the loop head decides whether time is up
    if (fds[1].revents != 0) return WaitOutcome::stopped;
    if (fds[0].revents != 0) return WaitOutcome::ready;
  }
}

enum class Direction { read, write };

WaitOutcome wait_for(int fd, Direction direction, std::int64_t deadline_ns, const StopSignal* stop,
                     int& error) {
  return wait_ready(fd, direction == Direction::read ? POLLIN : POLLOUT, deadline_ns, stop, error);
}

PipeIoResult wait_failure(WaitOutcome outcome, int error, std::uint32_t moved) {
  switch (outcome) {
    case WaitOutcome::timed_out:
      return pipe_io_timed_out(moved);
    case WaitOutcome::stopped:
      return pipe_io_cancelled(moved);
    default:
      return pipe_io_failed(errno_code(error), moved);
  }
}

// The loop shared by reads and writes: `chunk(done)` moves some of the remaining bytes and
// returns the count, 0 at the end of the stream, or -1 with errno. With `wait_first` the first
// chunk is preceded by a poll instead of a try that would only report EAGAIN.
template <typename Chunk>
PipeIoResult transfer(int fd, std::size_t size, std::int64_t deadline_ns, const StopSignal* stop,
                      Direction direction, bool wait_first, Chunk&& chunk) {
  std::size_t done = 0;
  const auto moved = [&] { return static_cast<std::uint32_t>(done); };
  if (size == 0) return pipe_io_completed(0);
  if (fd < 0) return pipe_io_failed(errno_code(EBADF), 0);
  bool must_wait = wait_first;
  while (done < size) {
    if (stop && stop->stop_requested()) return pipe_io_cancelled(moved());
    if (monotonic_now_ns() >= deadline_ns) return pipe_io_timed_out(moved());
    if (must_wait) {
      int wait_error = 0;
      const WaitOutcome outcome = wait_for(fd, direction, deadline_ns, stop, wait_error);
      if (outcome != WaitOutcome::ready) return wait_failure(outcome, wait_error, moved());
      must_wait = false;
    }
    const ssize_t n = chunk(done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      if (stop && stop->stop_requested()) return pipe_io_cancelled(moved());
      if (monotonic_now_ns() >= deadline_ns) return pipe_io_timed_out(moved());
      continue;
    }
    if (n == 0) {
      return pipe_io_failed(direction == Direction::read ? kErrorBrokenPipe : kErrorWriteFault,
                            moved());
    }
    const int error = errno;
    if (error == EINTR) continue;
    // A reset means the peer went away with our data unread: the same broken stream as an
    // orderly close, which is how callers must see it.
    if (direction == Direction::read && error == ECONNRESET) {
      return pipe_io_failed(kErrorBrokenPipe, moved());
    }
    if (error != EAGAIN && error != EWOULDBLOCK) return pipe_io_failed(errno_code(error), moved());
    must_wait = true;
  }
  return pipe_io_completed(moved());
}

bool fill_address(const std::filesystem::path& path, sockaddr_un& address) {
  const std::string& text = path.native();
  if (text.size() >= sizeof(address.sun_path)) return false;
  address = {};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
  return true;
}

std::string describe(std::string_view what, const std::filesystem::path& path, int error) {
  return std::string(what) + " " + path.string() + ": " + std::strerror(error);
}

}  // namespace

LocalConnection::LocalConnection(LocalConnection&& other) noexcept {
  *this = std::move(other);
}

LocalConnection& LocalConnection::operator=(LocalConnection&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, -1);
    read_ahead_ = std::move(other.read_ahead_);
    ahead_begin_ = std::exchange(other.ahead_begin_, 0);
    ahead_end_ = std::exchange(other.ahead_end_, 0);
    awaiting_answer_ = std::exchange(other.awaiting_answer_, false);
  }
  return *this;
}

void LocalConnection::close() {
  if (handle_ >= 0) {
    ::close(handle_);
    handle_ = -1;
  }
  read_ahead_.reset();
  ahead_begin_ = ahead_end_ = 0;
  awaiting_answer_ = false;
}

long LocalConnection::read_some(char* destination, std::size_t size) {
  if (ahead_begin_ == ahead_end_) {
    // Large remainders go straight to the caller; small ones come through the read-ahead
    // buffer, so that a frame's length and payload usually arrive in one call.
    if (size >= kReadAheadBytes) return ::recv(handle_, destination, size, 0);
    if (!read_ahead_) read_ahead_ = std::make_unique_for_overwrite<char[]>(kReadAheadBytes);
    const ssize_t received = ::recv(handle_, read_ahead_.get(), kReadAheadBytes, 0);
    if (received <= 0) return received;
    ahead_begin_ = 0;
    ahead_end_ = static_cast<std::size_t>(received);
  }
  const std::size_t count = std::min(size, ahead_end_ - ahead_begin_);
  std::memcpy(destination, read_ahead_.get() + ahead_begin_, count);
  ahead_begin_ += count;
  return static_cast<ssize_t>(count);
}

PipeIoResult LocalConnection::read_exact(void* buffer, std::size_t size, std::int64_t deadline_ns,
                                         const StopSignal* stop) {
  // Right after we wrote, the peer has yet to answer: waiting first saves a failed try.
  const bool wait_first = awaiting_answer_ && ahead_begin_ == ahead_end_;
  awaiting_answer_ = false;
  char* destination = static_cast<char*>(buffer);
  return transfer(handle_, size, deadline_ns, stop, Direction::read, wait_first,
                  [&](std::size_t done) { return read_some(destination + done, size - done); });
}

PipeIoResult LocalConnection::write_exact(const void* data, std::size_t size,
                                          std::int64_t deadline_ns, const StopSignal* stop) {
  const char* source = static_cast<const char*>(data);
  const PipeIoResult result = transfer(
      handle_, size, deadline_ns, stop, Direction::write, false,
      [&](std::size_t done) { return ::send(handle_, source + done, size - done, MSG_NOSIGNAL); });
  awaiting_answer_ = result.completed() && size > 0;
  return result;
}

std::optional<std::uint32_t> LocalConnection::peer_uid() const {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (handle_ < 0 || ::getsockopt(handle_, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
      length != sizeof credentials) {
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(credentials.uid);
}

ListenStatus LocalSocketServer::listen(const std::string& name) {
  close();
  error_.clear();
  std::filesystem::path directory;
  try {
    directory = pipe_directory();
  } catch (const std::exception& error) {
    error_ = error.what();
    return ListenStatus::failed;
  }

  // The directory is what keeps other users away from the socket, so it must be ours alone.
  if (std::string why; !is_private_directory(directory, current_user_id(), &why)) {
    error_ = "pipe directory " + directory.string() + " must be a directory owned by uid " +
             std::to_string(current_user_id()) + " with mode 0700 (" + why + ")";
    return ListenStatus::insecure;
  }

  path_ = directory / name;
  sockaddr_un address{};
  if (!fill_address(path_, address)) {
    error_ = "socket path too long: " + path_.string();
    return ListenStatus::failed;
  }

  lock_path_ = path_;
  lock_path_ += ".lock";
  // The owner removes the lock file when it stops. A lock taken on a file that was removed
  // meanwhile proves nothing, so the file must still be the one at the path once locked.
  for (int attempt = 0;; ++attempt) {
    lock_handle_ = ::open(lock_path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lock_handle_ < 0) {
      error_ = describe("could not open lock file", lock_path_, errno);
      return ListenStatus::failed;
    }
    if (::flock(lock_handle_, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      const bool owned = error == EWOULDBLOCK;
      error_ = owned ? "another server owns " + path_.string()
                     : describe("could not lock", lock_path_, error);
      close();
      return owned ? ListenStatus::already_owned : ListenStatus::failed;
    }
    struct stat held {
    }, named{};
    if (::fstat(lock_handle_, &held) == 0 && ::stat(lock_path_.c_str(), &named) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
      lock_held_ = true;
      break;
    }
    ::close(lock_handle_);
    lock_handle_ = -1;
    if (attempt >= 8) {
      error_ = "lock file " + lock_path_.string() + " keeps being replaced";
      return ListenStatus::failed;
    }
  }

  // Holding the lock proves any existing socket file belongs to a dead owner.
  if (::unlink(path_.c_str()) != 0 && errno != ENOENT) {
    error_ = describe("could not remove stale socket", path_, errno);
    close();
    return ListenStatus::failed;
  }
  // Bound and listening under a side name first, then renamed into place: a client that sees
  // the socket file can connect at once, and never to a socket with the default mode.
  std::filesystem::path staging = path_;
  staging += ".new";
  sockaddr_un staging_address{};
  if (!fill_address(staging, staging_address)) {
    error_ = "socket path too long: " + staging.string();
    close();
    return ListenStatus::failed;
  }
  ::unlink(staging.c_str());
  listen_handle_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listen_handle_ < 0) {
    error_ = describe("could not create socket for", path_, errno);
    close();
    return ListenStatus::failed;
  }
  if (::bind(listen_handle_, reinterpret_cast<const sockaddr*>(&staging_address),
             sizeof staging_address) != 0) {
    error_ = describe("could not bind", staging, errno);
    ::close(listen_handle_);
    listen_handle_ = -1;
    close();
    return ListenStatus::failed;
  }
  if (::chmod(staging.c_str(), 0600) != 0 || ::listen(listen_handle_, kListenBacklog) != 0 ||
      ::rename(staging.c_str(), path_.c_str()) != 0) {
    error_ = describe("could not listen on", path_, errno);
    ::unlink(staging.c_str());
    close();
    return ListenStatus::failed;
  }
  return ListenStatus::listening;
}

void LocalSocketServer::close() {
  if (listen_handle_ >= 0) {
    // Unlinked while the lock is still held, so a new owner never loses its fresh socket.
    ::unlink(path_.c_str());
    ::close(listen_handle_);
    listen_handle_ = -1;
  }
  if (lock_handle_ >= 0) {
    // Removed while still held: a server that opens the old file after this finds it gone
    // from the path and takes a fresh one, so a stopped broker leaves no lock file behind.
    if (lock_held_) ::unlink(lock_path_.c_str());
    lock_held_ = false;
    ::close(lock_handle_);
    lock_handle_ = -1;
  }
}

PipeIoResult LocalSocketServer::wait_for_client(std::int64_t deadline_ns, const StopSignal& stop,
                                                LocalConnection& connection) {
  for (;;) {
    if (stop.stop_requested()) return pipe_io_cancelled(0);
    if (listen_handle_ < 0) return pipe_io_failed(errno_code(EBADF), 0);
    const int fd = ::accept4(listen_handle_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      connection = LocalConnection(fd);
      return pipe_io_completed(0);
    }
    const int error = errno;
    // A client that gave up between connect and accept is no reason to stop serving.
    if (error == EINTR || error == ECONNABORTED || error == EPROTO) continue;
    if (error != EAGAIN && error != EWOULDBLOCK) return pipe_io_failed(errno_code(error), 0);
    int wait_error = 0;
    switch (wait_ready(listen_handle_, POLLIN, deadline_ns, &stop, wait_error)) {
      case WaitOutcome::ready:
        break;
      case WaitOutcome::timed_out:
        return pipe_io_timed_out(0);
      case WaitOutcome::stopped:
        return pipe_io_cancelled(0);
      case WaitOutcome::failed:
        return pipe_io_failed(errno_code(wait_error), 0);
    }
  }
}

PipeIoResult connect_local_socket(const std::filesystem::path& path, std::int64_t deadline_ns,
                                  LocalConnection& connection) {
  sockaddr_un address{};
  if (!fill_address(path, address)) return pipe_io_failed(errno_code(ENAMETOOLONG), 0);
  for (;;) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return pipe_io_failed(errno_code(errno), 0);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
      connection = LocalConnection(fd);
      return pipe_io_completed(0);
    }
    const int error = errno;
    ::close(fd);
    if (error == EINTR) continue;
    // EAGAIN: the listener's backlog is full; it drains as the server accepts.
    if (error != EAGAIN) return pipe_io_failed(errno_code(error), 0);
    if (monotonic_now_ns() >= deadline_ns) return pipe_io_timed_out(0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

bool is_service_caller(const LocalConnection& connection) {
  std::uint32_t service_uid = 0;
  if (const char* text = std::getenv("TESSIK_SERVICE_UID")) {
    const std::string_view value(text);
    const auto [end, error] =
        std::from_chars(value.data(), value.data() + value.size(), service_uid);
    if (value.empty() || error != std::errc() || end != value.data() + value.size()) return false;
  }
  const auto peer = connection.peer_uid();
  return peer && *peer == service_uid;
}

}  // namespace tessik::platform
