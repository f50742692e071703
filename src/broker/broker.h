// The per-user broker: owns the session's socket, serves one request per connection until
// stopped, and records its start and stop events.
#pragma once

#include <cstdint>
#include <stop_token>

namespace tessik {

struct BrokerOptions {
  // How long a connected client has to deliver its request frame. 30 s in production; the
  // `broker` mode's --request-read-timeout-ms option shortens it for tests.
  std::int64_t request_read_timeout_ns = 30'000'000'000;
};

// Runs the broker until the stop signal fires (SIGINT, SIGQUIT, SIGHUP, SIGTERM or `stop`).
// Returns the exit code: 0 normal stop, stop already requested at start, or another broker owns
// the socket (then without any event); 1 the state directory tree or the start event could not
// be written; 10 no session id; 11 the pipe directory is not private to this user; 12 the socket
// could not be created; 13 waiting for a client failed; 14 the stop signal could not be set up
// (also when another stop signal in this process owns the signal handlers).
// Prints the state directory and the pipe directory to stderr once serving.
int run_user_broker(std::stop_token stop = {}, const BrokerOptions& options = {});

}  // namespace tessik
