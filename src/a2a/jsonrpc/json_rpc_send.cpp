// SendMessage on the JSON-RPC binding: the params checks of the binding, then the send (or,
// inside a provider scope, the create task) that both bindings share, answered in the result
// shape of the method name the client used.
#include "a2a/gateway/error_catalog.h"
#include "a2a/gateway/errors.h"
#include "a2a/intake/create_task.h"
#include "a2a/intake/send_intake.h"
#include "a2a/jsonrpc/json_rpc_operations.h"

namespace tessik {
namespace {

GatewayResponse invalid_params(std::string_view id, std::string_view local) {
  return make_json_rpc_error(id, kJsonRpcInvalidParams, "Invalid params", local);
}

}  // namespace

GatewayResponse json_rpc_send_message(const GatewayCall& call, const JsonRpcRequest& request) {
  const bool params_missing = !request.params_text || request.params_text->empty();
  if (call.scoped_provider) {
    if (params_missing || !request.params.is_object()) {
      return invalid_params(request.id, local_code::kParamsInvalid);
    }
    const CreateTaskResult created = run_create_task(call, *request.params_text,
                                                     *call.scoped_provider,
                                                     local_code::kCreateInvalid);
    if (!created.ok()) {
      return make_json_rpc_error(request.id, created.error->json_rpc_code,
                                 created.error->json_rpc_message, created.error->local_code);
    }
    if (request.method == "message/send") return make_json_rpc_result(request.id, created.task_view);
    return make_json_rpc_result(request.id, create_result_task_document(created));
  }
  if (params_missing) return invalid_params(request.id, local_code::kParamsRequired);
  if (!request.params.is_object()) return invalid_params(request.id, local_code::kParamsInvalid);

  const SendMessageResult result =
      run_send_message(call, *request.params_text, SendBinding::json_rpc);
  if (result.error) {
    return make_json_rpc_error(request.id, result.error->json_rpc_code,
                               result.error->json_rpc_message, result.error->local_code);
  }
  if (request.method == "message/send") return make_json_rpc_result(request.id, result.task_view);
  return make_json_rpc_result(request.id, send_result_task_document(result));
}

}  // namespace tessik
