// The operation table and its linear-scan queries; 57 rows make a scan cheaper than an index.
#include "a2a/gateway/operation_table.h"

#include "base/text.h"

namespace tessik {
namespace {

constexpr std::string_view kEndpoint = "JsonRpcEndpoint";

A2aOperationRoute http_row(const char* method, const char* path, const char* version,
                           const char* operation, const char* capability, const char* scope,
                           bool supported = true) {
  return {"http-json", method, path, version, operation, capability, scope, supported};
}

A2aOperationRoute endpoint_row(const char* path, const char* scope) {
  return {"json-rpc", "POST", path, "1.0", std::string(kEndpoint), "jsonRpc", scope, true};
}

A2aOperationRoute rpc_row(const char* name, const char* version, const char* operation,
                          const char* capability, const char* scope, bool supported = true) {
  return {"json-rpc", name, name, version, operation, capability, scope, supported};
}

std::vector<A2aOperationRoute> build_table() {
  constexpr bool kNo = false;
  return {
      http_row("GET", "/.well-known/agent-card.json", "1.0", "GetAgentCard", "agentCard", ""),
      http_row("GET", "/.well-known/agent.json", "0.3", "GetAgentCard", "agentCard", ""),
      http_row("GET", "/agent-card", "1.0", "GetAgentCard", "agentCard", ""),
      http_row("GET", "/providers", "1.0", "ListProviderFactories", "providerDiscovery",
               "agent.read"),
      http_row("GET", "/providers/{id}/.well-known/agent-card.json", "1.0",
               "GetProviderFactoryCard", "agentCard", "agent.read"),
      http_row("GET", "/providers/{id}/agent-card", "1.0", "GetProviderFactoryCard", "agentCard",
               "agent.read"),
      endpoint_row("/providers/{id}/a2a", "agent.create"),
      endpoint_row("/providers/{id}/rpc", "agent.create"),
      endpoint_row("/providers/{id}/jsonrpc", "agent.create"),
      http_row("GET", "/agents", "1.0", "ListAgents", "agentDiscovery", "agent.read"),
      http_row("GET", "/agents/{id}/.well-known/agent-card.json", "1.0", "GetWrappedAgentCard",
               "agentCard", "agent.read"),
      http_row("GET", "/agents/{id}/agent-card", "1.0", "GetWrappedAgentCard", "agentCard",
               "agent.read"),
      endpoint_row("/agents/{id}/a2a", "agent.send"),
      endpoint_row("/agents/{id}/rpc", "agent.send"),
      endpoint_row("/agents/{id}/jsonrpc", "agent.send"),
      http_row("GET", "/extendedAgentCard", "1.0", "GetExtendedAgentCard", "extendedAgentCard",
               "agent.read"),
      http_row("POST", "/message:send", "1.0", "SendMessage", "send", "agent.send"),
      http_row("POST", "/message:stream", "1.0", "SendStreamingMessage", "streaming", "agent.send",
               kNo),
      http_row("GET", "/tasks", "1.0", "ListTasks", "taskRead", "task.read"),
      http_row("GET", "/tasks/{id}", "1.0", "GetTask", "taskRead", "task.read"),
      http_row("POST", "/tasks/{id}:cancel", "1.0", "CancelTask", "taskCancel", "task.cancel"),
      http_row("GET", "/tasks/{id}:subscribe", "1.0", "SubscribeToTask", "streaming", "task.read",
               kNo),
      http_row("POST", "/tasks/{id}:subscribe", "1.0", "SubscribeToTask", "streaming", "task.read",
               kNo),
      http_row("POST", "/tasks/{id}/pushNotificationConfigs", "1.0",
               "CreateTaskPushNotificationConfig", "pushNotifications", "task.push"),
      http_row("GET", "/tasks/{id}/pushNotificationConfigs", "1.0",
               "ListTaskPushNotificationConfigs", "pushNotifications", "task.push"),
      http_row("GET", "/tasks/{id}/pushNotificationConfigs/{configId}", "1.0",
               "GetTaskPushNotificationConfig", "pushNotifications", "task.push"),
      http_row("DELETE", "/tasks/{id}/pushNotificationConfigs/{configId}", "1.0",
               "DeleteTaskPushNotificationConfig", "pushNotifications", "task.push"),
      endpoint_row("/", ""),
      endpoint_row("/rpc", ""),
      endpoint_row("/jsonrpc", ""),
      rpc_row("SendMessage", "1.0", "SendMessage", "send", "agent.send"),
      rpc_row("message/send", "0.3", "SendMessage", "send", "agent.send"),
      rpc_row("SendStreamingMessage", "1.0", "SendStreamingMessage", "streaming", "agent.send",
              kNo),
      rpc_row("message/stream", "0.3", "SendStreamingMessage", "streaming", "agent.send", kNo),
      rpc_row("GetTask", "1.0", "GetTask", "taskRead", "task.read"),
      rpc_row("tasks/get", "0.3", "GetTask", "taskRead", "task.read"),
      rpc_row("ListTasks", "1.0", "ListTasks", "taskRead", "task.read"),
      rpc_row("tasks/list", "0.3", "ListTasks", "taskRead", "task.read"),
      rpc_row("CancelTask", "1.0", "CancelTask", "taskCancel", "task.cancel"),
      rpc_row("tasks/cancel", "0.3", "CancelTask", "taskCancel", "task.cancel"),
      rpc_row("SubscribeToTask", "1.0", "SubscribeToTask", "streaming", "task.read", kNo),
      rpc_row("tasks/subscribe", "0.3", "SubscribeToTask", "streaming", "task.read", kNo),
      rpc_row("tasks/resubscribe", "0.3", "SubscribeToTask", "streaming", "task.read", kNo),
      rpc_row("CreateTaskPushNotificationConfig", "1.0", "CreateTaskPushNotificationConfig",
              "pushNotifications", "task.push"),
      rpc_row("tasks/pushNotificationConfigs/create", "1.0", "CreateTaskPushNotificationConfig",
              "pushNotifications", "task.push"),
      rpc_row("tasks/pushNotificationConfig/set", "0.3", "CreateTaskPushNotificationConfig",
              "pushNotifications", "task.push"),
      rpc_row("GetTaskPushNotificationConfig", "1.0", "GetTaskPushNotificationConfig",
              "pushNotifications", "task.push"),
      rpc_row("tasks/pushNotificationConfigs/get", "1.0", "GetTaskPushNotificationConfig",
              "pushNotifications", "task.push"),
      rpc_row("tasks/pushNotificationConfig/get", "0.3", "GetTaskPushNotificationConfig",
              "pushNotifications", "task.push"),
      rpc_row("ListTaskPushNotificationConfigs", "1.0", "ListTaskPushNotificationConfigs",
              "pushNotifications", "task.push"),
      rpc_row("tasks/pushNotificationConfigs/list", "1.0", "ListTaskPushNotificationConfigs",
              "pushNotifications", "task.push"),
      rpc_row("tasks/pushNotificationConfig/list", "0.3", "ListTaskPushNotificationConfigs",
              "pushNotifications", "task.push"),
      rpc_row("DeleteTaskPushNotificationConfig", "1.0", "DeleteTaskPushNotificationConfig",
              "pushNotifications", "task.push"),
      rpc_row("tasks/pushNotificationConfigs/delete", "1.0", "DeleteTaskPushNotificationConfig",
              "pushNotifications", "task.push"),
      rpc_row("tasks/pushNotificationConfig/delete", "0.3", "DeleteTaskPushNotificationConfig",
              "pushNotifications", "task.push"),
      rpc_row("GetExtendedAgentCard", "1.0", "GetExtendedAgentCard", "extendedAgentCard",
              "agent.read"),
      rpc_row("agent/getAuthenticatedExtendedCard", "0.3", "GetExtendedAgentCard",
              "extendedAgentCard", "agent.read"),
  };
}

bool is_placeholder_terminator(char c) {
  const bool word = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '_' || c == '{' || c == '}';
  return !word;
}

}  // namespace

const std::vector<A2aOperationRoute>& a2a_operation_table() {
  static const std::vector<A2aOperationRoute> table = build_table();
  return table;
}

bool is_capability_supported(std::string_view capability) {
  for (const A2aOperationRoute& row : a2a_operation_table()) {
    if (row.supported && row.capability == capability) return true;
  }
  return false;
}

bool is_binding_supported(std::string_view binding) {
  for (const A2aOperationRoute& row : a2a_operation_table()) {
    if (row.supported && row.binding == binding) return true;
  }
  return false;
}

// A placeholder takes a non-empty run up to the first occurrence of the template's next
// terminator character (usually '/' or ':'); with no terminator left it takes the rest.
bool path_template_matches(std::string_view path_template, std::string_view path) {
  std::size_t t = 0;
  std::size_t p = 0;
  while (t < path_template.size()) {
    if (path_template[t] != '{') {
      if (p >= path.size() || path[p] != path_template[t]) return false;
      ++t;
      ++p;
      continue;
    }
    const std::size_t close = path_template.find('}', t);
    if (close == std::string_view::npos) return false;
    t = close + 1;
    std::size_t terminator_at = t;
    while (terminator_at < path_template.size() &&
           !is_placeholder_terminator(path_template[terminator_at])) {
      ++terminator_at;
    }
    std::size_t end = path.size();
    if (terminator_at < path_template.size()) {
      end = path.find(path_template[terminator_at], p);
      if (end == std::string_view::npos) return false;
    }
    if (end == p) return false;  // placeholders are never empty
    p = end;
  }
  return p == path.size();
}

const A2aOperationRoute* match_http_route(std::string_view method, std::string_view path,
                                          bool require_supported) {
  const std::string wanted = ascii_lower(method);
  for (const A2aOperationRoute& row : a2a_operation_table()) {
    if (row.binding != "http-json" && row.operation != kEndpoint) continue;
    if (ascii_lower(row.method) != wanted) continue;
    if (require_supported && !row.supported) continue;
    if (path_template_matches(row.path, path)) return &row;
  }
  return nullptr;
}

bool find_http_route(std::string_view method, std::string_view path, bool require_supported) {
  return match_http_route(method, path, require_supported) != nullptr;
}

bool find_json_rpc_method(std::string_view name, std::string_view version, bool require_supported) {
  for (const A2aOperationRoute& row : a2a_operation_table()) {
    if (row.binding != "json-rpc" || row.operation == kEndpoint) continue;
    if (row.method != name) continue;
    if (!version.empty() && row.protocol_version != version) continue;
    if (require_supported && !row.supported) continue;
    return true;
  }
  return false;
}

}  // namespace tessik
