// The push-configuration routes of both bindings: the HTTP+JSON paths and the JSON-RPC
// methods (1.0 names take the client form, 0.3 names the nested form older clients use).
#include <nlohmann/json.hpp>

#include "a2a/gateway/error_catalog.h"
#include "a2a/gateway/errors.h"
#include "a2a/gateway/route_handlers.h"
#include "a2a/jsonrpc/json_rpc_operations.h"
#include "a2a/push/push_config_ops.h"
#include "a2a/push/push_config_store.h"
#include "a2a/tasks/task_json.h"
#include "base/text.h"

namespace tessik {
namespace {

// "/tasks/{id}/pushNotificationConfigs[/{configId}]" split into its two ids.
struct PushConfigPath {
  std::string task_id;
  std::string config_id;
};

PushConfigPath split_push_config_path(std::string_view path) {
  constexpr std::string_view kTasks = "/tasks/";
  constexpr std::string_view kCollection = "/pushNotificationConfigs";
  PushConfigPath parts;
  const std::size_t at = path.find(kTasks);
  if (at == std::string_view::npos) return parts;
  std::string_view rest = path.substr(at + kTasks.size());
  const std::size_t collection = rest.find(kCollection);
  if (collection == std::string_view::npos) return parts;
  parts.task_id = trim(rest.substr(0, collection));
  rest = rest.substr(collection + kCollection.size());
  if (!rest.empty() && rest.front() == '/') parts.config_id = trim(rest.substr(1));
  return parts;
}

GatewayResponse render_http(const PushConfigOutcome& outcome, std::string body) {
  if (outcome.error) return render_task_result_http(task_failure(*outcome.error));
  return render_task_result_http(task_success(std::move(body)));
}

std::string single_client_form(const PushConfigOutcome& outcome) {
  return outcome.configs.empty() ? std::string()
                                 : push_config_to_json(outcome.configs.front(), false);
}

bool is_v03(const JsonRpcRequest& request) {
  return request.version == "0.3";
}

std::string params_text(const JsonRpcRequest& request, const char* name) {
  return request.params.is_object() ? trim(json_member_text(request.params, name)) : std::string();
}

// Task id: 0.3 names it "id" (get, list, delete) or "taskId" (set); 1.0 "taskId".
std::string rpc_task_id(const JsonRpcRequest& request) {
  for (const char* name : {"taskId", "task_id"}) {
    if (std::string value = params_text(request, name); !value.empty()) return value;
  }
  return is_v03(request) ? params_text(request, "id") : std::string();
}

// Config id: 1.0 names it "id", 0.3 "pushNotificationConfigId".
std::string rpc_config_id(const JsonRpcRequest& request) {
  if (!is_v03(request)) {
    if (std::string value = params_text(request, "id"); !value.empty()) return value;
  }
  return params_text(request, "pushNotificationConfigId");
}

// The create object in client form: 0.3 nests the configuration under
// "pushNotificationConfig" beside the task id.
std::string rpc_create_object(const JsonRpcRequest& request) {
  const auto nested = request.params.find("pushNotificationConfig");
  if (nested == request.params.end() || !nested->is_object()) return request.params.dump();
  nlohmann::json object = *nested;
  object.erase("taskId");
  object.erase("task_id");
  object["taskId"] = rpc_task_id(request);
  return object.dump();
}

std::string rpc_config_form(const JsonRpcRequest& request, const PushConfig& config) {
  return is_v03(request) ? push_config_to_v03_json(config) : push_config_to_json(config, false);
}

GatewayResponse rpc_answer(const JsonRpcRequest& request, const PushConfigOutcome& outcome,
                           std::string result) {
  if (outcome.error) return render_task_result_json_rpc(task_failure(*outcome.error), request.id);
  return make_json_rpc_result(request.id, result);
}

GatewayResponse params_invalid(const JsonRpcRequest& request) {
  return make_json_rpc_error(request.id, kJsonRpcInvalidParams, "Invalid params",
                             local_code::kParamsInvalid);
}

GatewayResponse task_id_required(const JsonRpcRequest& request) {
  return make_json_rpc_error(request.id, kJsonRpcInvalidParams,
                             "Invalid params: task id is required.", local_code::kTaskIdRequired);
}

GatewayResponse config_id_required(const JsonRpcRequest& request) {
  return make_json_rpc_error(request.id, kJsonRpcInvalidParams,
                             "Invalid params: push notification config id is required.",
                             local_code::kPushConfigIdRequired);
}

}  // namespace

GatewayResponse handle_create_push_config(const GatewayCall& call) {
  const PushConfigPath path = split_push_config_path(call.paths.effective);
  const PushConfigOutcome outcome =
      create_push_config_operation(call.context, call.principal, path.task_id, call.request.body);
  return render_http(outcome, single_client_form(outcome));
}

GatewayResponse handle_list_push_configs(const GatewayCall& call) {
  const PushConfigPath path = split_push_config_path(call.paths.effective);
  const PushConfigOutcome outcome =
      list_push_configs_operation(call.context, call.principal, path.task_id);
  return render_http(outcome, push_config_list_json(outcome.configs));
}

GatewayResponse handle_get_push_config(const GatewayCall& call) {
  const PushConfigPath path = split_push_config_path(call.paths.effective);
  const PushConfigOutcome outcome =
      get_push_config_operation(call.context, call.principal, path.task_id, path.config_id);
  return render_http(outcome, single_client_form(outcome));
}

GatewayResponse handle_delete_push_config(const GatewayCall& call) {
  const PushConfigPath path = split_push_config_path(call.paths.effective);
  return render_http(
      delete_push_config_operation(call.context, call.principal, path.task_id, path.config_id),
      "{}");
}

GatewayResponse json_rpc_create_push_config(const GatewayCall& call,
                                            const JsonRpcRequest& request) {
  if (!request.params.is_object()) return params_invalid(request);
  const std::string task_id = rpc_task_id(request);
  if (task_id.empty()) return task_id_required(request);
  const PushConfigOutcome outcome = create_push_config_operation(
      call.context, call.principal, task_id, rpc_create_object(request));
  return rpc_answer(request, outcome,
                    outcome.configs.empty() ? "" : rpc_config_form(request, outcome.configs[0]));
}

GatewayResponse json_rpc_get_push_config(const GatewayCall& call, const JsonRpcRequest& request) {
  if (!request.params.is_object()) return params_invalid(request);
  const std::string task_id = rpc_task_id(request);
  if (task_id.empty()) return task_id_required(request);
  const std::string config_id = rpc_config_id(request);
  if (config_id.empty()) return config_id_required(request);
  const PushConfigOutcome outcome =
      get_push_config_operation(call.context, call.principal, task_id, config_id);
  return rpc_answer(request, outcome,
                    outcome.configs.empty() ? "" : rpc_config_form(request, outcome.configs[0]));
}

GatewayResponse json_rpc_list_push_configs(const GatewayCall& call, const JsonRpcRequest& request) {
  if (!request.params.is_object()) return params_invalid(request);
  const std::string task_id = rpc_task_id(request);
  if (task_id.empty()) return task_id_required(request);
  const PushConfigOutcome outcome =
      list_push_configs_operation(call.context, call.principal, task_id);
  if (!is_v03(request)) return rpc_answer(request, outcome, push_config_list_json(outcome.configs));
  std::string result = "[";
  for (std::size_t i = 0; i < outcome.configs.size(); ++i) {
    if (i > 0) result += ',';
    result += push_config_to_v03_json(outcome.configs[i]);
  }
  return rpc_answer(request, outcome, result + "]");
}

GatewayResponse json_rpc_delete_push_config(const GatewayCall& call,
                                            const JsonRpcRequest& request) {
  if (!request.params.is_object()) return params_invalid(request);
  const std::string task_id = rpc_task_id(request);
  if (task_id.empty()) return task_id_required(request);
  const std::string config_id = rpc_config_id(request);
  if (config_id.empty()) return config_id_required(request);
  return rpc_answer(request,
                    delete_push_config_operation(call.context, call.principal, task_id, config_id),
                    is_v03(request) ? "null" : "{}");
}

}  // namespace tessik
