// TCP listening sockets that an HTTP library creates for us: one listener owns its port.
#pragma once

#include <cstdint>
#include <string>

namespace tessik::platform {

// Sets the options under which the freshly created listening socket `native_socket` (the
// library's socket handle) refuses to share its address: a second listener on the same port
// fails to bind, while a restarted listener may bind at once past connections that are still
// closing.
void make_listener_exclusive(std::intptr_t native_socket);

// Why a listener cannot bind `host`:`port` right now, in lower case ("address already in
// use"); empty when a bind succeeds (the probe socket is closed again at once).
std::string tcp_bind_failure(const std::string& host, std::uint16_t port);

}  // namespace tessik::platform
