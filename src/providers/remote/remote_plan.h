// Which transports a remote node is tried over, in what order, and what each one needs.
// Pure functions of a node row; no I/O.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "registry/nodes.h"

namespace tessik {

enum class RemoteTransport { a2a_https, a2a_relay, a2a_ssh, legacy_api, legacy_ssh };

// "a2a_https", "a2a_relay", ... as attempt events and plans name them.
std::string_view remote_transport_name(RemoteTransport transport);
// The method word a result of the transport records.
std::string_view remote_transport_method(RemoteTransport transport);

struct RemoteTransportPlan {
  std::string configured;  // trimmed, lower-cased; "auto" when the row left it empty
  std::vector<RemoteTransport> transports;
  std::string error;  // non-empty: nothing may be tried

  // The transport names joined by ",".
  std::string text() const;
};

// The ordered plan for a node: "auto" (HTTPS when an API URL is set, then A2A over SSH when
// host and user are), "api" (A2A over HTTPS, then the legacy API), "ssh" (A2A over SSH, then
// the legacy relay session), or one transport by name. Unknown names, transports missing
// what they need and empty plans give an error.
RemoteTransportPlan plan_remote_transports(const NodeRecord& node);

// Whether a configured transport is a migration pair whose second transport may run after the
// first failed before anything reached the remote agent. Only "api" is.
bool remote_fallback_allowed(std::string_view configured);

}  // namespace tessik
