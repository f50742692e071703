// Readers and writer of a bounded run. Descriptors are non-blocking and every wait also
// watches the stop descriptor, so no thread can outlive the run however the child behaves.
#include "platform/posix/process/process_pipes.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "platform/posix/process/launch_support.h"

namespace tessik::platform::posix {
namespace {

constexpr std::size_t kReadChunk = 8192;

void signal_event(int fd) {
  const std::uint64_t one = 1;
  while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

}  // namespace

ProcessPipes::ProcessPipes(std::uint64_t output_limit, const std::string& initial,
                           const std::string& deferred)
    : output_limit_(output_limit), initial_(initial), deferred_(deferred) {}

ProcessPipes::~ProcessPipes() {
  stop();
  for (const int fd : owned_fds_)
    ::close(fd);
}

void ProcessPipes::reserve_output() {
  output_.reserve(static_cast<std::size_t>(output_limit_));
}

void ProcessPipes::start(int stdout_fd, int stderr_fd, int input_fd) {
  owned_fds_.push_back(stdout_fd);
  owned_fds_.push_back(stderr_fd);
  stop_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (stop_fd_ >= 0) owned_fds_.push_back(stop_fd_);
  release_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (release_fd_ >= 0) owned_fds_.push_back(release_fd_);
  if (stop_fd_ < 0 || release_fd_ < 0) {
    const int error = errno;
    if (input_fd >= 0) ::close(input_fd);
    throw std::system_error(error, std::generic_category(), "eventfd");
  }
  try {
    threads_.emplace_back([this, stdout_fd] { read_loop(stdout_fd); });
    threads_.emplace_back([this, stderr_fd] { read_loop(stderr_fd); });
  } catch (...) {
    if (input_fd >= 0) ::close(input_fd);
    throw;
  }
  if (input_fd >= 0) {
    try {
      threads_.emplace_back([this, input_fd] { write_loop(input_fd); });
    } catch (...) {
      ::close(input_fd);
      throw;
    }
  }
}

void ProcessPipes::release_deferred_input() {
  if (release_fd_ >= 0) signal_event(release_fd_);
}

void ProcessPipes::stop() {
  if (stopped_.exchange(true)) return;
  if (stop_fd_ >= 0) signal_event(stop_fd_);
  for (std::thread& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
}

bool ProcessPipes::append(const char* data, std::size_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::size_t room = static_cast<std::size_t>(output_limit_) - output_.size();
  const std::size_t take = std::min(room, size);
  output_.append(data, take);
  if (take < size) {
    output_exceeded_.store(true);
    return false;
  }
  return true;
}

void ProcessPipes::read_loop(int fd) {
  char buffer[kReadChunk];
  bool draining = false;
  for (;;) {
    if (!draining) {
      pollfd fds[2] = {{fd, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        record_read_error(errno);
        return;
      }
      // Once the tree is gone, what is in the pipe is all there will be; take it and end
      // even if some unrelated process still holds a write end.
      draining = fds[1].revents != 0;
    }
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got > 0) {
      // Past the limit the reader stops taking data: the writer blocks on a full pipe until
      // the run ends it, instead of racing to finish while its output is thrown away.
      if (!append(buffer, static_cast<std::size_t>(got))) return;
      continue;
    }
    if (got == 0) return;
    if (errno == EINTR) continue;
    if (errno == EAGAIN) {
      if (draining) return;
      continue;
    }
    record_read_error(errno);
    return;
  }
}

bool ProcessPipes::write_all(int fd, const std::string& bytes) {
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n > 0) {
      written += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return false;
    pollfd fds[2] = {{fd, POLLOUT, 0}, {stop_fd_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) return false;
    if (fds[1].revents != 0) {
      errno = 0;  // stopped: not a failure of the write
      return false;
    }
  }
  return true;
}

void ProcessPipes::write_loop(int fd) {
  // A child that closes its input must show up as EPIPE here, not kill the whole process.
  sigset_t pipe_signal;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);

  if (!initial_.empty() && !write_all(fd, initial_)) {
    if (errno != 0) record_write_error("initial", errno);
    ::close(fd);
    return;
  }
  if (!deferred_.empty()) {
    pollfd fds[2] = {{release_fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    while (::poll(fds, 2, -1) < 0 && errno == EINTR) {
    }
    if (fds[1].revents == 0 && fds[0].revents != 0) {
      if (write_all(fd, deferred_)) {
        deferred_written_.store(true);
      } else if (errno != 0) {
        record_write_error("deferred", errno);
      }
    }
  }
  ::close(fd);
}

void ProcessPipes::record_read_error(int error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (read_error_.empty()) read_error_ = system_message(error);
}

void ProcessPipes::record_write_error(const char* phase, int error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (write_error_.empty()) {
    write_error_phase_ = phase;
    write_error_ = system_message(error);
  }
}

std::string ProcessPipes::read_error() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return read_error_;
}

std::string ProcessPipes::write_error_phase() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return write_error_phase_;
}

std::string ProcessPipes::write_error() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return write_error_;
}

void ProcessPipes::update_snapshot(std::string& snapshot) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (snapshot.size() < output_.size()) snapshot.append(output_, snapshot.size());
}

std::string ProcessPipes::take_output() {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::move(output_);
}

}  // namespace tessik::platform::posix
