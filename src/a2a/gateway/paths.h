// Path handling of the gateway: normalisation of the request target, the agent- and
// provider-scoped path forms, and the predicates routing asks of a normalised path.
#pragma once

#include <string>
#include <string_view>

namespace tessik {

// The request target without its query and without a leading "/a2a" and then "/v1"
// prefix: "/a2a/v1/tasks" -> "/tasks", "/a2a" -> "/".
std::string normalize_a2a_path(std::string_view target);

// The split of "/agents/<id>/<rest>" (or "/providers/<id>/<rest>"). `rest` starts with "/".
struct AgentScopedRoute {
  bool matched = false;
  bool is_card_path = false;
  std::string id;
  std::string rest;
};
using ProviderScopedRoute = AgentScopedRoute;

AgentScopedRoute parse_agent_scoped_path(std::string_view path);
ProviderScopedRoute parse_provider_scoped_path(std::string_view path);

// The normalised path with its scopes split off: the path routing continues with.
struct EffectivePath {
  std::string path;  // normalised request path, before scoping
  AgentScopedRoute agent;
  ProviderScopedRoute provider;  // only tried when the agent scope did not match
  std::string effective;
};
EffectivePath compute_effective_path(std::string_view target);

// One of the three card paths: "/.well-known/agent-card.json", "/.well-known/agent.json",
// "/agent-card".
bool is_card_path(std::string_view path);

// "/", "/rpc" or "/jsonrpc", and a supported POST route exists for it.
bool is_json_rpc_root_endpoint(std::string_view path);
bool is_task_cancel_path(std::string_view path);
bool is_task_subscribe_path(std::string_view path);
// "/tasks/{id}/pushNotificationConfigs", optionally followed by "/{configId}".
bool is_push_config_path(std::string_view path);

// True when a GET of `target` reaches the public gateway card without authentication: not
// scoped, and a card path once normalised. Front ends use it to let anonymous callers through.
bool is_public_gateway_card_request(std::string_view method, std::string_view target);

}  // namespace tessik
