// The tessik-api-service program: the HTTP stand-in for the gateway's API service.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tessik {

struct ApiServiceOptions {
  std::string host = "127.0.0.1";
  std::uint16_t port = 37661;
  std::optional<std::uint32_t> session_id;  // default: this process's session
  std::optional<std::uint32_t> broker_uid;  // default: this process's user
};

// Parses `[--listen HOST:PORT] [--session ID] [--broker-uid UID]` (also "--name=value").
// Returns false with a message in `error` for anything else.
bool parse_api_service_options(const std::vector<std::string>& args, ApiServiceOptions& options,
                               std::string& error);

// `tessik-api-service ...`: serves HTTP until SIGINT/SIGTERM/SIGHUP/SIGQUIT. Prints the URL,
// and the local token when this start created it. Returns 0 after a stop or for --help, 2 for
// bad options, 1 when it cannot listen or prepare its token.
int run_api_service_command(const std::vector<std::string>& args);

}  // namespace tessik
