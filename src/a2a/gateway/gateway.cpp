// The gateway's front: fixed-order gates, then a table of operation routes. Later operations
// plug in through route_handlers.h without touching the order of the gates.
#include "a2a/gateway/gateway.h"

#include <array>
#include <nlohmann/json.hpp>

#include "a2a/cards/cards.h"
#include "a2a/cards/extended_card.h"
#include "a2a/gateway/auth.h"
#include "a2a/gateway/error_catalog.h"
#include "a2a/gateway/errors.h"
#include "a2a/gateway/gateway_call.h"
#include "a2a/gateway/operation_table.h"
#include "a2a/gateway/request_gates.h"
#include "a2a/gateway/responses.h"
#include "a2a/gateway/route_handlers.h"
#include "a2a/gateway/scopes.h"
#include "a2a/gateway/ui_routes.h"
#include "a2a/jsonrpc/json_raw.h"
#include "base/json_depth.h"
#include "base/text.h"
#include "registry/normalization.h"

namespace tessik {
namespace {

using Handler = GatewayResponse (*)(const GatewayCall&);

GatewayResponse with_scope(const GatewayCall& call, std::string_view scope,
                           std::string_view denied_message, Handler handler) {
  if (scope_denied(call.principal, scope, call.context)) return scope_denied_error(denied_message);
  return handler(call);
}

GatewayResponse with_push_scope(const GatewayCall& call, Handler handler) {
  if (push_scope_denied(call.principal, call.context)) {
    return scope_denied_error(scope_message::kManagePushConfigs);
  }
  return handler(call);
}

GatewayResponse route_send_message(const GatewayCall& call) {
  if (call.scoped_provider) {
    return with_scope(call, "agent.create", scope_message::kCreateAgents, handle_provider_create);
  }
  return with_scope(call, "agent.send", scope_message::kSendMessages, handle_send_message);
}

GatewayResponse route_streaming(const GatewayCall&) {
  return streaming_not_implemented_error();
}

GatewayResponse extended_card(const GatewayCall& call) {
  return make_card_response(call.request, render_extended_card(call), false);
}

GatewayResponse route_extended_card(const GatewayCall& call) {
  return with_scope(call, "agent.read", scope_message::kReadAgentCards, extended_card);
}
GatewayResponse route_list_tasks(const GatewayCall& call) {
  return with_scope(call, "task.read", scope_message::kReadTasks, handle_list_tasks);
}
GatewayResponse route_get_task(const GatewayCall& call) {
  return with_scope(call, "task.read", scope_message::kReadTasks, handle_get_task);
}
GatewayResponse route_cancel_task(const GatewayCall& call) {
  return with_scope(call, "task.cancel", scope_message::kCancelTasks, handle_cancel_task);
}
GatewayResponse route_create_push(const GatewayCall& call) {
  return with_push_scope(call, handle_create_push_config);
}
GatewayResponse route_list_push(const GatewayCall& call) {
  return with_push_scope(call, handle_list_push_configs);
}
GatewayResponse route_get_push(const GatewayCall& call) {
  return with_push_scope(call, handle_get_push_config);
}
GatewayResponse route_delete_push(const GatewayCall& call) {
  return with_push_scope(call, handle_delete_push_config);
}

// Operation routes after the JSON-RPC step, tried in order; specific templates come before
// "/tasks/{id}", whose placeholder would otherwise swallow them.
struct OperationRoute {
  std::string_view method;  // lower-case
  std::string_view path_template;
  Handler route;
};

constexpr std::array<OperationRoute, 12> kOperationRoutes = {{
    {"post", "/message:send", route_send_message},
    {"post", "/message:stream", route_streaming},
    {"get", "/extendedAgentCard", route_extended_card},
    {"get", "/tasks/{id}:subscribe", route_streaming},
    {"post", "/tasks/{id}:subscribe", route_streaming},
    {"post", "/tasks/{id}:cancel", route_cancel_task},
    {"post", "/tasks/{id}/pushNotificationConfigs", route_create_push},
    {"get", "/tasks/{id}/pushNotificationConfigs", route_list_push},
    {"get", "/tasks/{id}/pushNotificationConfigs/{configId}", route_get_push},
    {"delete", "/tasks/{id}/pushNotificationConfigs/{configId}", route_delete_push},
    {"get", "/tasks", route_list_tasks},
    {"get", "/tasks/{id}", route_get_task},
}};

bool is_json_object(std::string_view body) {
  const nlohmann::json parsed = nlohmann::json::parse(body, nullptr, false);
  return parsed.is_object();
}

// Paths whose POST body must be a JSON object (a cancel body only when it is not blank).
bool fails_body_gate(std::string_view path, std::string_view body) {
  if (path == "/message:send" || path == "/message:stream" || is_push_config_path(path)) {
    return !is_json_object(body);
  }
  if (is_task_cancel_path(path)) return !trim(body).empty() && !is_json_object(body);
  return false;
}

// The registry is read at most once per request, and only by the steps that need it.
class LazyAgents {
 public:
  explicit LazyAgents(Registry& registry) : registry_(registry) {}
  const std::vector<AgentRecord>& get() {
    if (!loaded_) {
      agents_ = load_registry(registry_);
      loaded_ = true;
    }
    return agents_;
  }

 private:
  Registry& registry_;
  bool loaded_ = false;
  std::vector<AgentRecord> agents_;
};

std::optional<AgentRecord> find_exposed_agent(const std::vector<AgentRecord>& agents,
                                              std::string_view public_id) {
  for (const AgentRecord& agent : agents) {
    if (is_agent_a2a_exposed(agent) && agent.public_agent_id == public_id) return agent;
  }
  return std::nullopt;
}

}  // namespace

GatewayResponse handle_a2a_request(const GatewayRequest& request,
                                   [[maybe_unused]] const Principal& principal,
                                   const GatewayContext& context, Registry& registry,
                                   const EvidenceLog& evidence, std::stop_token stop) {
  if (stop.stop_requested()) return server_stopping_error();

  const std::string method = ascii_lower(trim(request.method));
  const EffectivePath paths = compute_effective_path(request.target);
  const std::string& path = paths.effective;
  const bool scoped = paths.agent.matched || paths.provider.matched;
  const bool post = method == "post";
  const bool get = method == "get";
  const bool json_rpc = post && is_json_rpc_root_endpoint(path);

  if (const auto version = unsupported_a2a_version(request)) {
    return json_rpc ? version_not_supported_json_rpc_error(json_rpc_id(request.body), *version)
                    : version_not_supported_error(*version);
  }
  if (!scoped && get && is_card_path(path)) {
    return make_card_response(request,
                              render_gateway_card(make_card_options(context, false, false)), true);
  }
  if (post && !is_supported_content_type(request)) {
    return json_rpc ? content_type_json_rpc_error(json_rpc_id(request.body))
                    : content_type_error(kContentTypeNotSupportedMessage);
  }
  // Before anything parses the body: parsed trees are copied and dumped recursively.
  if (post && !json_nesting_within(request.body)) return json_too_deep_error(json_rpc);
  if (json_rpc && !nlohmann::json::accept(request.body)) return json_rpc_parse_error();
  if (post && fails_body_gate(path, request.body)) return http_json_parse_error();

  const AuthenticationResult auth = authenticate_a2a_request(request, context);
  if (!auth.ok) return auth.error;

  GatewayCall call{request, auth.principal, context, registry,     evidence,
                   stop,    method,         paths,   std::nullopt, std::nullopt};
  LazyAgents agents(registry);
  std::optional<std::vector<ProviderFactory>> factories;
  auto provider_factories = [&]() -> const std::vector<ProviderFactory>& {
    if (!factories) factories = list_provider_factories(agents.get());
    return *factories;
  };

  if (call.paths.agent.matched) {
    call.scoped_agent = find_exposed_agent(agents.get(), call.paths.agent.id);
    if (!call.scoped_agent) return agent_not_found_error();
    if (call.paths.agent.is_card_path && get) {
      CardRenderOptions options = make_card_options(context, false, false);
      options.endpoint_url = agent_endpoint_url(context.endpoint_url, call.paths.agent.id);
      return make_card_response(request, render_wrapped_agent_card(*call.scoped_agent, options),
                                true);
    }
  } else if (call.paths.provider.matched) {
    call.scoped_provider = find_provider_factory(provider_factories(), call.paths.provider.id);
    if (!call.scoped_provider) return provider_not_found_error();
    if (call.paths.provider.is_card_path && get) {
      CardRenderOptions options = make_card_options(context, false, false);
      options.endpoint_url = factory_endpoint_url(context.endpoint_url, call.paths.provider.id);
      return make_card_response(request,
                                render_provider_factory_card(*call.scoped_provider, options), true);
    }
  }

  if (!scoped && is_ui_api_path(path)) return handle_ui_api(call);
  if (get && path == "/providers") {
    if (scope_denied(call.principal, "agent.read", context)) {
      return scope_denied_error(scope_message::kDiscoverProviders);
    }
    return make_json_response(200, render_provider_listing(provider_factories(), context));
  }
  if (get && path == "/agents") {
    if (scope_denied(call.principal, "agent.read", context)) {
      return scope_denied_error(scope_message::kDiscoverAgents);
    }
    return make_json_response(200, render_agent_listing(agents.get(), context));
  }

  if (!find_http_route(method, path, false)) return route_not_found_error();
  if (json_rpc) return handle_json_rpc(call);
  for (const OperationRoute& route : kOperationRoutes) {
    if (route.method == method && path_template_matches(route.path_template, path)) {
      return route.route(call);
    }
  }
  return route_not_found_error();
}

}  // namespace tessik
