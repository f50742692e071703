// The gate's poll loop on POSIX. Head bytes are read (not peeked) into the connection, so a
// partial head never leaves the socket readable and the loop never spins on it.
#include "platform/tcp_gate.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "base/text.h"

namespace tessik::platform {
namespace {

int remaining_ms(std::int64_t deadline_ns) {
  const std::int64_t left = deadline_ns - monotonic_now_ns();
  if (left <= 0) return 0;
  return static_cast<int>(std::min<std::int64_t>((left + 999'999) / 1'000'000, 60'000));
}

bool wait_for(int handle, short events, std::int64_t deadline_ns) {
  while (true) {
    pollfd entry{handle, events, 0};
    const int ready = ::poll(&entry, 1, remaining_ms(deadline_ns));
    if (ready > 0) return true;
    if (ready == 0) {
      if (monotonic_now_ns() >= deadline_ns) return false;
      continue;
    }
    if (errno != EINTR) return false;
  }
}

bool head_complete(std::string_view bytes) {
  return bytes.find("\r\n\r\n") != std::string_view::npos ||
         bytes.find("\n\n") != std::string_view::npos;
}

}  // namespace

struct TcpGate::Shared {
  std::mutex mutex;
  std::deque<TcpConnection> resumed;
  int wake_handle = -1;
  bool stopping = false;
};

TcpConnection::TcpConnection(TcpConnection&& other) noexcept {
  *this = std::move(other);
}

TcpConnection& TcpConnection::operator=(TcpConnection&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, -1);
    buffered_ = std::move(other.buffered_);
    buffered_offset_ = std::exchange(other.buffered_offset_, 0);
    peer_address_ = std::move(other.peer_address_);
    peer_port_ = other.peer_port_;
    head_deadline_ns_ = other.head_deadline_ns_;
  }
  return *this;
}

void TcpConnection::close() {
  if (handle_ >= 0) ::close(handle_);
  handle_ = -1;
  buffered_.clear();
  buffered_offset_ = 0;
}

bool TcpConnection::wait_readable(std::int64_t deadline_ns) const {
  if (buffered_offset_ < buffered_.size()) return true;
  return handle_ >= 0 && wait_for(handle_, POLLIN, deadline_ns);
}

long TcpConnection::read_some(char* buffer, std::size_t size, std::int64_t deadline_ns) {
  if (buffered_offset_ < buffered_.size()) {
    const std::size_t count = std::min(size, buffered_.size() - buffered_offset_);
    std::memcpy(buffer, buffered_.data() + buffered_offset_, count);
    buffered_offset_ += count;
    if (buffered_offset_ == buffered_.size()) {
      buffered_.clear();
      buffered_offset_ = 0;
    }
    return static_cast<long>(count);
  }
  while (handle_ >= 0) {
    const ssize_t got = ::recv(handle_, buffer, size, MSG_DONTWAIT);
    if (got >= 0) return static_cast<long>(got);
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    if (!wait_for(handle_, POLLIN, deadline_ns)) return -1;
  }
  return -1;
}

bool TcpConnection::write_all(const char* data, std::size_t size, std::int64_t deadline_ns) {
  std::size_t done = 0;
  while (done < size && handle_ >= 0) {
    const ssize_t sent = ::send(handle_, data + done, size - done, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent > 0) {
      done += static_cast<std::size_t>(sent);
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    if (!wait_for(handle_, POLLOUT, deadline_ns)) return false;
  }
  return done == size;
}

bool TcpConnection::await_head(std::int64_t deadline_ns, std::size_t max_head_bytes) {
  if (handle_ < 0) return false;
  if (head_complete(std::string_view(buffered_).substr(buffered_offset_))) return true;
  if (buffered_.size() >= max_head_bytes || !wait_for(handle_, POLLIN, deadline_ns)) return false;
  char chunk[4096];
  const std::size_t room = std::min(sizeof chunk, max_head_bytes - buffered_.size());
  const ssize_t got = ::recv(handle_, chunk, room, MSG_DONTWAIT);
  if (got <= 0) return false;  // the gate sees the end of the stream or the error again
  buffered_.append(chunk, static_cast<std::size_t>(got));
  return head_complete(std::string_view(buffered_).substr(buffered_offset_));
}

void TcpConnection::close_after_draining(std::int64_t deadline_ns, std::size_t max_bytes) {
  if (handle_ < 0) return;
  ::shutdown(handle_, SHUT_WR);
  char sink[16 * 1024];
  std::size_t drained = 0;
  while (drained < max_bytes) {
    const ssize_t got = ::recv(handle_, sink, sizeof sink, MSG_DONTWAIT);
    if (got > 0) {
      drained += static_cast<std::size_t>(got);
      continue;
    }
    if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) break;
    if (!wait_for(handle_, POLLIN, deadline_ns)) break;
  }
  close();
}

TcpGate::TcpGate(TcpGateOptions options) : options_(options), shared_(std::make_unique<Shared>()) {
  shared_->wake_handle = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

TcpGate::~TcpGate() {
  if (listen_handle_ >= 0) ::close(listen_handle_);
  if (shared_->wake_handle >= 0) ::close(shared_->wake_handle);
}

bool TcpGate::listen(const std::string& host, std::uint16_t port, std::string* error) {
  const auto fail = [&](std::string what) {
    if (error) *error = std::move(what);
    if (listen_handle_ >= 0) ::close(listen_handle_);
    listen_handle_ = -1;
    return false;
  };
  if (shared_->wake_handle < 0) return fail(std::string("eventfd: ") + std::strerror(errno));
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (const int code = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found); code != 0) {
    return fail("cannot resolve " + host + ": " + ::gai_strerror(code));
  }
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, ::freeaddrinfo);
  listen_handle_ = ::socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listen_handle_ < 0) return fail(std::string("socket: ") + std::strerror(errno));
  const int on = 1;
  ::setsockopt(listen_handle_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(listen_handle_, found->ai_addr, found->ai_addrlen) != 0) {
    // The caller names the address; the reason alone reads as the listener's own refusal.
    return fail(errno == EADDRINUSE ? std::string("address already in use") : std::strerror(errno));
  }
  if (::listen(listen_handle_, SOMAXCONN) != 0) {
    return fail(std::string("listen: ") + std::strerror(errno));
  }
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  ::getsockname(listen_handle_, reinterpret_cast<sockaddr*>(&bound), &length);
  port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(bound).sin6_port
                                            : reinterpret_cast<sockaddr_in&>(bound).sin_port);
  return true;
}

void TcpGate::resume(TcpConnection connection) {
  {
    std::lock_guard lock(shared_->mutex);
    if (shared_->stopping) return;
    shared_->resumed.push_back(std::move(connection));
  }
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(shared_->wake_handle, &one, sizeof one);
}

void TcpGate::stop() {
  {
    std::lock_guard lock(shared_->mutex);
    shared_->stopping = true;
  }
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(shared_->wake_handle, &one, sizeof one);
}

void TcpGate::run(const std::function<void(TcpConnection)>& ready) {
  std::deque<TcpConnection> waiting;  // oldest first
  std::vector<pollfd> polled;
  std::vector<char> chunk(options_.max_head_bytes);

  // A connection whose buffer already holds a whole head (pipelined) goes on at once.
  const auto admit = [&](TcpConnection connection) {
    const std::string_view pending =
        std::string_view(connection.buffered_).substr(connection.buffered_offset_);
    if (head_complete(pending)) return ready(std::move(connection));
    connection.head_deadline_ns_ = monotonic_now_ns() + options_.head_timeout_ns;
    if (waiting.size() >= options_.max_waiting) waiting.pop_front();
    waiting.push_back(std::move(connection));
  };

  while (true) {
    std::deque<TcpConnection> resumed;
    {
      std::lock_guard lock(shared_->mutex);
      if (shared_->stopping) return;
      resumed.swap(shared_->resumed);
    }
    for (TcpConnection& connection : resumed)
      admit(std::move(connection));

    polled.clear();
    polled.push_back({listen_handle_, POLLIN, 0});
    polled.push_back({shared_->wake_handle, POLLIN, 0});
    std::int64_t next_deadline = monotonic_now_ns() + 1'000'000'000;
    for (const TcpConnection& connection : waiting) {
      polled.push_back({connection.handle_, POLLIN, 0});
      next_deadline = std::min(next_deadline, connection.head_deadline_ns_);
    }
    if (::poll(polled.data(), polled.size(), remaining_ms(next_deadline)) < 0 && errno != EINTR) {
      return;
    }
    if (polled[1].revents) {
      std::uint64_t count = 0;
      [[maybe_unused]] const ssize_t got = ::read(shared_->wake_handle, &count, sizeof count);
    }

    // Heads first, then timeouts, then new arrivals: indexes in `polled` follow `waiting`.
    const std::int64_t now = monotonic_now_ns();
    std::deque<TcpConnection> still_waiting;
    for (std::size_t i = 0; i < waiting.size(); ++i) {
      TcpConnection& connection = waiting[i];
      if (polled[i + 2].revents != 0) {
        const ssize_t got = ::recv(connection.handle_, chunk.data(), chunk.size(), MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) continue;  // closed
        if (got > 0) connection.buffered_.append(chunk.data(), static_cast<std::size_t>(got));
        if (head_complete(connection.buffered_) ||
            connection.buffered_.size() >= options_.max_head_bytes) {
          ready(std::move(connection));
          continue;
        }
      }
      if (now >= connection.head_deadline_ns_) continue;  // too slow: dropped
      still_waiting.push_back(std::move(connection));
    }
    waiting.swap(still_waiting);

    if (polled[0].revents != 0) {
      while (true) {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        const int handle = ::accept4(listen_handle_, reinterpret_cast<sockaddr*>(&address), &length,
                                     SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (handle < 0) {
          // Out of descriptors: the longest waiter makes room, or the backlog would spin.
          if ((errno == EMFILE || errno == ENFILE) && !waiting.empty()) {
            waiting.pop_front();
            continue;
          }
          break;
        }
        const int on = 1;
        ::setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        TcpConnection connection;
        connection.handle_ = handle;
        char text[INET6_ADDRSTRLEN] = {};
        if (address.ss_family == AF_INET) {
          const auto& in = reinterpret_cast<const sockaddr_in&>(address);
          ::inet_ntop(AF_INET, &in.sin_addr, text, sizeof text);
          connection.peer_port_ = ntohs(in.sin_port);
        } else if (address.ss_family == AF_INET6) {
          const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
          ::inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text);
          connection.peer_port_ = ntohs(in6.sin6_port);
        }
        connection.peer_address_ = text;
        admit(std::move(connection));
      }
    }
  }
}

}  // namespace tessik::platform
