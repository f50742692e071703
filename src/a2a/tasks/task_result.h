// The outcome of a task operation in a form both bindings can answer: one decision, two
// renderings. An error carries its HTTP status and its JSON-RPC code and wording side by side.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "wire/envelope.h"

namespace tessik {

struct TaskError {
  int http_status = 500;
  int json_rpc_code = -32603;
  std::string local_code;
  std::string message;           // HTTP+JSON wording
  std::string json_rpc_message;  // JSON-RPC wording

  bool operator==(const TaskError&) const = default;
};

// Either a JSON body (a task view, a list document or a full task document) or an error.
struct TaskOperationResult {
  std::string body;
  std::optional<TaskError> error;

  bool ok() const { return !error.has_value(); }
};

inline TaskOperationResult task_success(std::string body) {
  return {std::move(body), {}};
}
inline TaskOperationResult task_failure(TaskError error) {
  return {{}, std::move(error)};
}

// HTTP+JSON: 200 with the body as "application/a2a+json", or the error body.
GatewayResponse render_task_result_http(const TaskOperationResult& result);
// JSON-RPC: the success envelope with the body as result, or the error object; `id` is the
// request id as raw JSON text.
GatewayResponse render_task_result_json_rpc(const TaskOperationResult& result, std::string_view id);

// The errors of the task operations, with both wordings.
TaskError task_not_found_error();                        // 404 / -32001 "TASK_NOT_FOUND"
TaskError task_corrupt_error(int http_status);           // 400 on cancel, 500 on send / -32603
TaskError task_not_cancelable_error();                   // 409 / -32002
TaskError history_length_invalid_error();                // 400 / -32602
TaskError list_invalid_error(std::string_view message);  // 400 / -32602 with prefix
TaskError page_token_invalid_error();                    // 400 / -32602 with prefix
// An error both bindings word alike, with the status and code the catalogue gives `code`
// (`http_status` overrides the status when non-zero; unknown codes answer 400 / -32602).
TaskError catalogue_task_error(std::string_view code, std::string_view message,
                               int http_status = 0);
// 500 / -32603 for a task log that could not be written; `what` is the write error's text.
TaskError task_log_write_error(std::string_view what);

inline constexpr char kTaskStoreFailedCode[] = "TESSIK_A2A_TASK_STORE_FAILED";

}  // namespace tessik
