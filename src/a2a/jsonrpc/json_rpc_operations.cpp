// The task and card operations of the JSON-RPC binding: they read "params", run the same
// queries as the HTTP+JSON routes and render the outcome as a JSON-RPC answer.
#include "a2a/jsonrpc/json_rpc_operations.h"

#include <stdexcept>

#include "a2a/cards/extended_card.h"
#include "a2a/gateway/error_catalog.h"
#include "a2a/gateway/errors.h"
#include "a2a/tasks/task_json.h"
#include "a2a/tasks/task_queries.h"
#include "base/text.h"

namespace tessik {
namespace {

GatewayResponse params_invalid(std::string_view id) {
  return make_json_rpc_error(id, kJsonRpcInvalidParams, "Invalid params",
                             local_code::kParamsInvalid);
}

GatewayResponse task_id_required(std::string_view id) {
  return make_json_rpc_error(id, kJsonRpcInvalidParams, "Invalid params: task id is required.",
                             local_code::kTaskIdRequired);
}

// Params may be left out of a query, but when given they must be an object.
bool params_shape_ok(const JsonRpcRequest& request) {
  return !request.params_text || request.params.is_object();
}

std::string task_id_param(const JsonRpcRequest& request) {
  return trim(json_member_text(request.params, "id"));
}

}  // namespace

GatewayResponse json_rpc_get_task(const GatewayCall& call, const JsonRpcRequest& request) {
  if (!params_shape_ok(request)) return params_invalid(request.id);
  const std::string task_id = task_id_param(request);
  if (task_id.empty()) return task_id_required(request.id);
  std::optional<std::string> history_length;
  for (const char* name : {"history_length", "historyLength"}) {
    if (request.params.contains(name)) {
      history_length = json_member_text(request.params, name);
      break;
    }
  }
  return render_task_result_json_rpc(
      get_task(call.context, call.principal, task_id, history_length, request.version), request.id);
}

GatewayResponse json_rpc_list_tasks(const GatewayCall& call, const JsonRpcRequest& request) {
  if (!params_shape_ok(request)) return params_invalid(request.id);
  return render_task_result_json_rpc(
      list_tasks(call.context, call.principal, list_params_from_json(request.params),
                 request.version),
      request.id);
}

GatewayResponse json_rpc_cancel_task(const GatewayCall& call, const JsonRpcRequest& request) {
  if (!params_shape_ok(request)) return params_invalid(request.id);
  const std::string task_id = task_id_param(request);
  if (task_id.empty()) return task_id_required(request.id);
  return render_task_result_json_rpc(cancel_task(call.context, call.principal, task_id,
                                                 request.params_text.value_or(""), request.version),
                                     request.id);
}

GatewayResponse json_rpc_extended_card(const GatewayCall& call, const JsonRpcRequest& request) {
  try {
    return make_json_rpc_result(request.id, render_extended_card(call));
  } catch (const std::invalid_argument&) {
    // Routing only scopes to exposed agents and creating factories; reaching this means the
    // registry changed under the request.
    return make_json_rpc_error(request.id, kJsonRpcInternalError, "Internal error", "");
  }
}

}  // namespace tessik
