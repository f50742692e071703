// One JSON-RPC call: envelope validation, method availability for the requested version,
// streaming refusal, the scope check, then the operation that owns the method.
#include <array>
#include <nlohmann/json.hpp>

#include "a2a/gateway/error_catalog.h"
#include "a2a/gateway/errors.h"
#include "a2a/gateway/operation_table.h"
#include "a2a/gateway/request_gates.h"
#include "a2a/gateway/scopes.h"
#include "a2a/jsonrpc/json_raw.h"
#include "a2a/jsonrpc/json_rpc.h"
#include "a2a/jsonrpc/json_rpc_operations.h"
#include "base/text.h"

namespace tessik {
namespace {

using Operation = GatewayResponse (*)(const GatewayCall&, const JsonRpcRequest&);

struct OperationEntry {
  std::string_view operation;
  Operation run;
};

constexpr std::array<OperationEntry, 9> kOperations = {{
    {"SendMessage", json_rpc_send_message},
    {"GetTask", json_rpc_get_task},
    {"ListTasks", json_rpc_list_tasks},
    {"CancelTask", json_rpc_cancel_task},
    {"GetExtendedAgentCard", json_rpc_extended_card},
    {"CreateTaskPushNotificationConfig", json_rpc_create_push_config},
    {"GetTaskPushNotificationConfig", json_rpc_get_push_config},
    {"ListTaskPushNotificationConfigs", json_rpc_list_push_configs},
    {"DeleteTaskPushNotificationConfig", json_rpc_delete_push_config},
}};

const A2aOperationRoute* find_method_row(std::string_view name, std::string_view version) {
  for (const A2aOperationRoute& row : a2a_operation_table()) {
    if (row.binding == "json-rpc" && row.method == name && row.protocol_version == version &&
        row.operation != "JsonRpcEndpoint") {
      return &row;
    }
  }
  return nullptr;
}

GatewayResponse invalid_request(std::string_view id) {
  return make_json_rpc_error(id, kJsonRpcInvalidRequest, "Request payload validation error",
                             local_code::kInvalidJsonRpcRequest);
}

GatewayResponse method_not_found(std::string_view id, std::string_view message) {
  return make_json_rpc_error(id, kJsonRpcMethodNotFound, message,
                             local_code::kJsonRpcMethodMissing);
}

// The scope refusal of an operation, or nullopt when the caller may run it.
std::optional<GatewayResponse> scope_refusal(const GatewayCall& call, std::string_view operation,
                                             std::string_view id) {
  auto refuse = [&](std::string_view message) {
    return make_json_rpc_error(id, kJsonRpcPermissionDenied, message, local_code::kScopeDenied);
  };
  if (operation.find("PushNotificationConfig") != std::string_view::npos) {
    if (push_scope_denied(call.principal, call.context)) {
      return refuse(scope_message::kManagePushConfigs);
    }
    return std::nullopt;
  }
  std::string_view scope;
  std::string_view message;
  if (operation == "SendMessage") {
    scope = call.scoped_provider ? "agent.create" : "agent.send";
    message = call.scoped_provider ? scope_message::kCreateAgents : scope_message::kSendMessages;
  } else if (operation == "GetTask" || operation == "ListTasks") {
    scope = "task.read";
    message = scope_message::kReadTasks;
  } else if (operation == "CancelTask") {
    scope = "task.cancel";
    message = scope_message::kCancelTasks;
  } else if (operation == "GetExtendedAgentCard") {
    scope = "agent.read";
    message = scope_message::kReadAgentCards;
  }
  if (!scope.empty() && scope_denied(call.principal, scope, call.context)) return refuse(message);
  return std::nullopt;
}

}  // namespace

GatewayResponse handle_json_rpc_call(const GatewayCall& call) {
  const std::string_view body = call.request.body;
  nlohmann::json parsed = nlohmann::json::parse(body, nullptr, false);
  const std::string id = json_rpc_id(body);
  if (raw_json_member(body, "id") && !is_valid_json_rpc_id(id)) return invalid_request("null");

  const nlohmann::json* version = nullptr;
  const nlohmann::json* method = nullptr;
  if (parsed.is_object()) {
    if (auto it = parsed.find("jsonrpc"); it != parsed.end()) version = &*it;
    if (auto it = parsed.find("method"); it != parsed.end()) method = &*it;
  }
  if (!version || !version->is_string() || version->get<std::string>() != "2.0" || !method ||
      !method->is_string()) {
    return invalid_request(id);
  }

  JsonRpcRequest request;
  request.id = id;
  request.method = method->get<std::string>();
  request.version = std::string(json_rpc_lookup_version(call.request));
  if (find_json_rpc_method(request.method, "", false) &&
      !find_json_rpc_method(request.method, request.version, false)) {
    return method_not_found(id, "Method is not available for A2A protocol version " +
                                    requested_a2a_version(call.request));
  }
  if (is_streaming_method(request.method)) {
    return make_json_rpc_error(id, kJsonRpcUnsupportedOperation, kStreamingNotImplementedMessage,
                               local_code::kUnsupportedOperation);
  }
  const A2aOperationRoute* row = find_method_row(request.method, request.version);
  const OperationEntry* entry = nullptr;
  for (const OperationEntry& candidate : kOperations) {
    if (row && candidate.operation == row->operation) entry = &candidate;
  }
  if (!entry) return method_not_found(id, "Method not found");
  if (auto refusal = scope_refusal(call, entry->operation, id)) return *refusal;

  if (const auto params = raw_json_member(body, "params")) {
    request.params_text = trim(*params);
    request.params = std::move(parsed.at("params"));
  }
  return entry->run(call, request);
}

}  // namespace tessik
