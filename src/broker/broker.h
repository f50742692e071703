// The per-user broker: owns the session's socket, serves one request per connection until
// stopped, and records its start and stop events.
#pragma once

#include <cstdint>
#include <stop_token>

namespace tessik {

struct BrokerOptions {
  // How long a connected client has to deliver its request frame (30 s in production).
  std::int64_t request_read_timeout_ns = 30'000'000'000;
};

// Runs the broker until the stop signal fires (signals or `stop`). Returns the exit code:
// 0 normal stop or another broker owns the socket, 10 no session id, 11 socket security,
// 12 socket creation failed, 13 waiting for a client failed, 14 stop signal setup failed.
int run_user_broker(std::stop_token stop = {}, const BrokerOptions& options = {});

}  // namespace tessik
