// Credentials for outbound A2A sends: the target's key=value options, and the Authorization
// header its auth scheme asks for, taken from environment variables or an OAuth token endpoint.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/http_client.h"
#include "registry/agent_record.h"

namespace tessik {

// The value of the target option `key` (case ignored; an "a2a:" prefix on the alias allowed),
// trimmed; "" when the agent has no such alias.
std::string target_option(const AgentRecord& agent, std::string_view key);

// Scheme, lower-cased host and port (the scheme's default when absent) of an http(s) URL.
struct UrlOrigin {
  std::string scheme;
  std::string host;
  std::string port;
  bool operator==(const UrlOrigin&) const = default;
};
std::optional<UrlOrigin> parse_url_origin(std::string_view url);

// The outcome of credential resolution: on success `error` is empty and `authorization` is the
// header value ("" for none); `note` is the audit text, which never contains a credential.
struct OutboundAuth {
  std::string authorization;
  std::string note;
  std::string error;
};

// Works out the Authorization header for `agent` from its "auth-scheme" option. May POST to
// the agent's OAuth token endpoint (bounded by the HTTP client); `options` carries
// certificates for that request (the user's certificate stores when it names none). Never throws;
// safe from any thread.
OutboundAuth resolve_outbound_auth(const AgentRecord& agent,
                                   const HttpRequestOptions& options = {});

// application/x-www-form-urlencoded encoding of one value.
std::string form_encode(std::string_view value);

}  // namespace tessik
