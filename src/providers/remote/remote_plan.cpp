// Transport plans of remote nodes.
#include "providers/remote/remote_plan.h"

#include "base/text.h"

namespace tessik {
namespace {

struct TransportRow {
  RemoteTransport transport;
  std::string_view name;
  std::string_view method;
  bool needs_ssh;
};

constexpr TransportRow kTransports[] = {
    {RemoteTransport::a2a_https, "a2a_https", "a2a_https_jsonrpc", false},
    {RemoteTransport::a2a_relay, "a2a_relay", "a2a_jsonrpc_hosted_relay", false},
    {RemoteTransport::a2a_ssh, "a2a_ssh", "a2a_jsonrpc_over_ssh_stdio", true},
    {RemoteTransport::legacy_api, "legacy_api", "legacy_api_v1_messages", false},
    {RemoteTransport::legacy_ssh, "legacy_ssh", "ssh_relay_session_stdio", true},
};

const TransportRow& row_of(RemoteTransport transport) {
  for (const TransportRow& row : kTransports) {
    if (row.transport == transport) return row;
  }
  return kTransports[0];
}

bool has_ssh(const NodeRecord& node) {
  return !trim(node.ssh_host).empty() && !trim(node.ssh_user).empty();
}

bool has_api(const NodeRecord& node) { return !trim(node.api_url).empty(); }

// The transports a configured name stands for; false for an unknown name.
bool expand(std::string_view configured, const NodeRecord& node,
            std::vector<RemoteTransport>& out) {
  using T = RemoteTransport;
  if (configured == "auto") {
    if (has_api(node)) out.push_back(T::a2a_https);
    if (has_ssh(node)) out.push_back(T::a2a_ssh);
  } else if (configured == "api") {
    out = {T::a2a_https, T::legacy_api};
  } else if (configured == "ssh") {
    out = {T::a2a_ssh, T::legacy_ssh};
  } else if (configured == "a2a" || configured == "a2a-https" || configured == "https") {
    out = {T::a2a_https};
  } else if (configured == "a2a-relay") {
    out = {T::a2a_relay};
  } else if (configured == "a2a-ssh") {
    out = {T::a2a_ssh};
  } else if (configured == "legacy-api") {
    out = {T::legacy_api};
  } else if (configured == "legacy-ssh") {
    out = {T::legacy_ssh};
  } else {
    return false;
  }
  return true;
}

}  // namespace

std::string_view remote_transport_name(RemoteTransport transport) {
  return row_of(transport).name;
}

std::string_view remote_transport_method(RemoteTransport transport) {
  return row_of(transport).method;
}

std::string RemoteTransportPlan::text() const {
  std::string joined;
  for (const RemoteTransport transport : transports) {
    if (!joined.empty()) joined += ',';
    joined += remote_transport_name(transport);
  }
  return joined;
}

RemoteTransportPlan plan_remote_transports(const NodeRecord& node) {
  RemoteTransportPlan plan;
  plan.configured = ascii_lower(trim(node.transport));
  if (plan.configured.empty()) plan.configured = "auto";
  if (!expand(plan.configured, node, plan.transports)) {
    plan.error = "unsupported remote transport: " + plan.configured;
    plan.transports.clear();
    return plan;
  }
  for (const RemoteTransport transport : plan.transports) {
    const TransportRow& row = row_of(transport);
    const bool ready = row.needs_ssh ? has_ssh(node) : has_api(node);
    if (!ready) {
      plan.error = "remote transport " + std::string(row.name) +
                   (row.needs_ssh ? " requires host and ssh_user" : " requires api_url");
      plan.transports.clear();
      return plan;
    }
  }
  if (plan.transports.empty()) {
    plan.error = "remote node has no usable A2A HTTPS or SSH address";
  }
  return plan;
}

bool remote_fallback_allowed(std::string_view configured) { return configured == "api"; }

}  // namespace tessik
