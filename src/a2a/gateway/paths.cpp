// Target normalisation and scoped-path parsing.
#include "a2a/gateway/paths.h"

#include "a2a/gateway/operation_table.h"
#include "base/text.h"

namespace tessik {
namespace {

// Replaces an exact `prefix` by "/" and a leading `prefix` + "/" by "/".
std::string strip_prefix(std::string path, std::string_view prefix) {
  if (path == prefix) return "/";
  if (path.size() > prefix.size() && path.compare(0, prefix.size(), prefix) == 0 &&
      path[prefix.size()] == '/') {
    return path.substr(prefix.size());
  }
  return path;
}

AgentScopedRoute parse_scoped_path(std::string_view path, std::string_view prefix) {
  AgentScopedRoute route;
  path = path.substr(0, path.find('?'));
  if (path.substr(0, prefix.size()) != prefix) return route;
  const std::size_t slash = path.find('/', prefix.size());
  if (slash == std::string_view::npos || slash == prefix.size()) return route;
  route.matched = true;
  route.id = std::string(path.substr(prefix.size(), slash - prefix.size()));
  route.rest = std::string(path.substr(slash));
  route.is_card_path = is_card_path(route.rest);
  return route;
}

bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool ends_with(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

}  // namespace

std::string normalize_a2a_path(std::string_view target) {
  std::string path(target.substr(0, target.find('?')));
  return strip_prefix(strip_prefix(std::move(path), "/a2a"), "/v1");
}

AgentScopedRoute parse_agent_scoped_path(std::string_view path) {
  return parse_scoped_path(path, "/agents/");
}

ProviderScopedRoute parse_provider_scoped_path(std::string_view path) {
  return parse_scoped_path(path, "/providers/");
}

EffectivePath compute_effective_path(std::string_view target) {
  EffectivePath result;
  result.path = normalize_a2a_path(target);
  result.agent = parse_agent_scoped_path(result.path);
  if (result.agent.matched) {
    result.effective = normalize_a2a_path(result.agent.rest);
    return result;
  }
  result.provider = parse_provider_scoped_path(result.path);
  result.effective =
      result.provider.matched ? normalize_a2a_path(result.provider.rest) : result.path;
  return result;
}

bool is_card_path(std::string_view path) {
  return path == "/.well-known/agent-card.json" || path == "/.well-known/agent.json" ||
         path == "/agent-card";
}

bool is_json_rpc_root_endpoint(std::string_view path) {
  return (path == "/" || path == "/rpc" || path == "/jsonrpc") &&
         find_http_route("POST", path, true);
}

bool is_task_cancel_path(std::string_view path) {
  return starts_with(path, "/tasks/") && path.size() >= 15 && ends_with(path, ":cancel");
}

bool is_task_subscribe_path(std::string_view path) {
  return starts_with(path, "/tasks/") && path.size() >= 18 && ends_with(path, ":subscribe");
}

bool is_push_config_path(std::string_view path) {
  return path_template_matches("/tasks/{id}/pushNotificationConfigs", path) ||
         path_template_matches("/tasks/{id}/pushNotificationConfigs/{configId}", path);
}

bool is_public_gateway_card_request(std::string_view method, std::string_view target) {
  const EffectivePath paths = compute_effective_path(target);
  return ascii_lower(trim(method)) == "get" && !paths.agent.matched && !paths.provider.matched &&
         is_card_path(paths.effective);
}

}  // namespace tessik
