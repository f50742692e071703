// POSIX listener options. SO_REUSEPORT would let any later process of this user join the port
// and take a share of its connections; SO_REUSEADDR alone only skips the TIME_WAIT delay.
#include "platform/tcp_listener.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/text.h"

namespace tessik::platform {

void make_listener_exclusive(std::intptr_t native_socket) {
  const int fd = static_cast<int>(native_socket);
  int yes = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  int no = 0;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &no, sizeof no);
}

std::string tcp_bind_failure(const std::string& host, std::uint16_t port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (const int error = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found); error != 0)
    return ascii_lower(::gai_strerror(error));
  int last_error = 0;
  for (const addrinfo* at = found; at != nullptr; at = at->ai_next) {
    const int fd = ::socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC, at->ai_protocol);
    if (fd < 0) {
      last_error = errno;
      continue;
    }
    make_listener_exclusive(fd);
    const bool bound = ::bind(fd, at->ai_addr, at->ai_addrlen) == 0;
    last_error = bound ? 0 : errno;
    ::close(fd);
    if (bound) break;
  }
  ::freeaddrinfo(found);
  return last_error == 0 ? std::string() : ascii_lower(std::strerror(last_error));
}

}  // namespace tessik::platform
