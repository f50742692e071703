// The API-service stand-in's request path, independent of the HTTP library: authenticate the
// caller, wrap the request in a broker envelope, exchange it over the broker socket, and turn
// the broker's response document back into an HTTP answer.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "a2a/gateway/gateway_context.h"
#include "platform/pipe_directory.h"
#include "wire/envelope.h"

namespace tessik {

// Largest request body forwarded; larger bodies are answered 413.
inline constexpr std::size_t kApiServiceMaxBodyBytes = 8u * 1024u * 1024u;

struct ApiServiceSettings {
  std::string base_url;                 // "http://127.0.0.1:37661"; endpointUrl = base + "/a2a"
  std::filesystem::path broker_socket;  // the session's broker socket
  std::string local_token;              // the local bearer token
  // A create task runs the whole creation inside one request: a Claude Code CLI session alone
  // may take 180 s to pass its readiness gate, then its name is verified (30 s).
  std::int64_t broker_timeout_ns = 300'000'000'000;
  // The user whose broker the requests are meant for: the pipe directory must be private to
  // it and the socket's listener must run as it, or nothing is sent (503).
  std::uint32_t broker_uid = platform::current_user_id();
  // Names this process in every answer ("Tessik-Api-Service-Instance"), so that a launcher can
  // tell that the process answering on the port is the one it started. Empty: no header.
  std::string instance;
};

// The principal of the local token: "inline-token" / "inline" / "local-a2a-client" / "local"
// with the four default scopes. Built by the gateway's own token verification.
GatewayContext api_service_auth_context(const ApiServiceSettings& settings);

// The answer for a caller that may not reach the broker (401), or nullopt when the request
// may be forwarded: a valid token, or the public card. Needs only the head, so callers can
// refuse before they read a body.
std::optional<GatewayResponse> api_request_refusal(const ApiServiceSettings& settings,
                                                   const GatewayRequest& request);

// Authenticates and forwards one HTTP request. `request.endpoint_url` is ignored (the
// settings' base URL decides). Never throws for bad input, a missing broker or a broken
// exchange; those are answered with the stand-in's own JSON errors (413, 400, 503, 502). A
// socket that is not the broker user's is answered 503 before any byte is sent to it.
GatewayResponse forward_api_request(const ApiServiceSettings& settings, GatewayRequest request);

// Parses a broker response document; nullopt when it is not one.
std::optional<GatewayResponse> parse_broker_response(std::string_view payload);

// Reads "<state dir>/a2a/local-token", creating it (0600, a fresh random token) when it is
// missing or blank. `created` tells whether this call made it. Throws on file-system failure.
std::string ensure_local_token(const std::filesystem::path& path, bool& created);

}  // namespace tessik
