// Both bindings of a task operation's outcome, and the operations' error catalogue.
#include "a2a/tasks/task_result.h"

#include "a2a/gateway/error_catalog.h"
#include "a2a/gateway/errors.h"

namespace tessik {
namespace {

TaskError same_wording(int http_status, int json_rpc_code, std::string_view code,
                       std::string_view message) {
  return {http_status, json_rpc_code, std::string(code), std::string(message),
          std::string(message)};
}

}  // namespace

GatewayResponse render_task_result_http(const TaskOperationResult& result) {
  if (result.error) {
    return make_http_error(result.error->http_status, result.error->local_code,
                           result.error->message);
  }
  GatewayResponse response;
  response.status = 200;
  response.content_type = "application/a2a+json";
  response.body = result.body;
  return response;
}

GatewayResponse render_task_result_json_rpc(const TaskOperationResult& result,
                                            std::string_view id) {
  if (result.error) {
    return make_json_rpc_error(id, result.error->json_rpc_code, result.error->json_rpc_message,
                               result.error->local_code);
  }
  return make_json_rpc_result(id, result.body);
}

TaskError task_not_found_error() {
  return same_wording(404, kJsonRpcTaskNotFound, local_code::kTaskNotFound, "Task not found");
}

TaskError task_corrupt_error(int http_status) {
  return {http_status, kJsonRpcInternalError, std::string(local_code::kTaskCorrupt),
          "Task record could not be read.", "Internal error"};
}

TaskError task_not_cancelable_error() {
  return same_wording(409, kJsonRpcTaskNotCancelable, local_code::kTaskNotCancelable,
                      "Task is already in a terminal state and cannot be canceled.");
}

TaskError history_length_invalid_error() {
  return {400, kJsonRpcInvalidParams, std::string(local_code::kHistoryLengthInvalid),
          "historyLength must be a non-negative integer.", "Invalid parameters"};
}

TaskError list_invalid_error(std::string_view message) {
  return {400, kJsonRpcInvalidParams, std::string(local_code::kListInvalid), std::string(message),
          "Invalid parameters: " + std::string(message)};
}

TaskError page_token_invalid_error() {
  const std::string message = "pageToken is invalid or no longer visible.";
  return {400, kJsonRpcInvalidParams, std::string(local_code::kPageTokenInvalid), message,
          "Invalid parameters: " + message};
}

TaskError catalogue_task_error(std::string_view code, std::string_view message, int http_status) {
  const LocalCodeInfo* info = find_local_code(code);
  TaskError error;
  error.http_status = http_status != 0 ? http_status : (info ? info->http_status : 400);
  error.json_rpc_code =
      info && info->json_rpc_code != 0 ? info->json_rpc_code : kJsonRpcInvalidParams;
  error.local_code = std::string(code);
  error.message = std::string(message);
  error.json_rpc_message = std::string(message);
  return error;
}

TaskError task_log_write_error(std::string_view what) {
  return same_wording(500, kJsonRpcInternalError, kTaskStoreFailedCode, what);
}

}  // namespace tessik
