// How the user-facing modes reach the broker: as any A2A client would through the API
// service, but in-process. The request is authenticated by the same rules as at the stand-in
// (the local token by default, or a client token from clients.tsv), wrapped in the broker
// envelope and sent over the session's broker socket, so the gateway's scopes and task
// visibility apply unchanged. The socket itself only serves the service uid.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app/api_service.h"

namespace tessik {

struct BrokerClientOptions {
  std::optional<std::uint32_t> session_id;  // default: this process's session
  std::string token;                        // default: TESSIK_A2A_TOKEN, else the local token
  std::int64_t timeout_ns = 30'000'000'000;
};

// The answer to one request. `reached` is false when the broker did not answer (not running,
// socket not the broker's, broken exchange); `response` then holds the stand-in's own error.
struct BrokerCall {
  bool reached = false;
  GatewayResponse response;
};

class BrokerClient {
 public:
  // Resolves the session, the socket and the token (creating the local token file when it is
  // missing, as the stand-in does). Throws std::runtime_error when the session is unknown and
  // on file-system failure.
  explicit BrokerClient(const BrokerClientOptions& options);

  // One request, `target` relative to the gateway root (e.g. "/a2a/tasks?pageSize=5").
  BrokerCall call(const std::string& method, const std::string& target,
                  const std::string& body = "") const;

  const ApiServiceSettings& settings() const { return settings_; }

 private:
  ApiServiceSettings settings_;
  std::string authorization_;
};

// `text` percent-encoded for a URL query value (everything but unreserved characters).
std::string query_value(std::string_view text);

// The "message" of an A2A error body, or the body itself when it has none.
std::string gateway_error_message(const GatewayResponse& response);

}  // namespace tessik
