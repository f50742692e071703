// The real broker and the API-service stand-in as child processes on a free loopback port,
// in the caller's (temporary) environment: for integration tests and benchmarks.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "support/broker_process.h"

namespace tessik::test {

// User plus system CPU time a process has used so far, in microseconds (from /proc).
double process_cpu_us(int pid);

// A loopback TCP port that was free a moment ago (bound to port 0, then released).
std::uint16_t free_loopback_port();

class GatewayStack {
 public:
  // Starts `tessik broker`, then `tessik-api-service --listen 127.0.0.1:<free port>`, and
  // waits until both serve. Throws std::runtime_error with their stderr when either fails.
  // The environment (state and pipe directories, TESSIK_SERVICE_UID) must be set up first.
  GatewayStack();

  std::uint16_t port() const { return port_; }
  std::string base_url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  // The local token the stand-in created in <state dir>/a2a/local-token.
  const std::string& token() const { return token_; }

  BrokerProcess& broker() { return *broker_; }
  BrokerProcess& api_service() { return *api_service_; }

 private:
  std::uint16_t port_ = 0;
  std::string token_;
  std::unique_ptr<BrokerProcess> broker_;
  std::unique_ptr<BrokerProcess> api_service_;
};

}  // namespace tessik::test
