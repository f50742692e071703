// The TCP exchange on POSIX: a non-blocking connect bounded by poll, then blocking-style
// reads and writes bounded by the overall deadline.
#include "platform/tcp_client.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "base/text.h"

namespace tessik::platform {
namespace {

int remaining_ms(std::int64_t deadline_ns) {
  const std::int64_t left = deadline_ns - monotonic_now_ns();
  return left <= 0 ? 0
                   : static_cast<int>(std::min<std::int64_t>((left + 999'999) / 1'000'000, 60'000));
}

bool wait_for(int handle, short events, std::int64_t deadline_ns) {
  while (true) {
    pollfd entry{handle, events, 0};
    const int ready = ::poll(&entry, 1, remaining_ms(deadline_ns));
    if (ready > 0) return true;
    if (ready == 0 && monotonic_now_ns() >= deadline_ns) return false;
    if (ready < 0 && errno != EINTR) return false;
  }
}

// A connected socket, or -1 with `error` set.
int connect_to(const std::string& host, std::uint16_t port, std::int64_t deadline_ns,
               std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (const int code = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
      code != 0) {
    error = "cannot resolve " + host + ": " + ::gai_strerror(code);
    return -1;
  }
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, ::freeaddrinfo);
  for (const addrinfo* address = found; address != nullptr; address = address->ai_next) {
    const int handle =
        ::socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (handle < 0) continue;
    if (::connect(handle, address->ai_addr, address->ai_addrlen) == 0) return handle;
    int code = errno;
    if (code == EINPROGRESS && wait_for(handle, POLLOUT, deadline_ns)) {
      socklen_t length = sizeof code;
      ::getsockopt(handle, SOL_SOCKET, SO_ERROR, &code, &length);
      if (code == 0) return handle;
    } else if (code == EINPROGRESS) {
      code = ETIMEDOUT;
    }
    error = std::strerror(code);
    ::close(handle);
  }
  if (error.empty()) error = "no address for " + host;
  return -1;
}

}  // namespace

TcpExchangeResult tcp_exchange(const std::string& host, std::uint16_t port,
                               const std::string& request, const std::string& enough,
                               std::size_t max_bytes, std::int64_t connect_timeout_ns,
                               std::int64_t timeout_ns) {
  TcpExchangeResult result;
  const std::int64_t started = monotonic_now_ns();
  const std::int64_t deadline = started + timeout_ns;
  const int handle =
      connect_to(host, port, std::min(deadline, started + connect_timeout_ns), result.error);
  if (handle < 0) return result;
  result.connected = true;
  std::size_t sent = 0;
  while (sent < request.size()) {
    const ssize_t n = ::send(handle, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN && wait_for(handle, POLLOUT, deadline)) continue;
    result.error = n < 0 && errno != EAGAIN ? std::strerror(errno) : "timed out sending";
    break;
  }
  char buffer[4096];
  while (result.error.empty() && result.received.size() < max_bytes &&
         (enough.empty() || result.received.find(enough) == std::string::npos)) {
    const std::size_t room = std::min(sizeof buffer, max_bytes - result.received.size());
    const ssize_t n = ::recv(handle, buffer, room, 0);
    if (n > 0) {
      result.received.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (n == 0) break;
    if (errno == EINTR) continue;
    if (errno == EAGAIN && wait_for(handle, POLLIN, deadline)) continue;
    result.error = errno == EAGAIN ? "timed out waiting for an answer" : std::strerror(errno);
  }
  ::close(handle);
  if (result.error.empty() && result.received.empty())
    result.error = "the connection closed without an answer";
  return result;
}

}  // namespace tessik::platform
