// The JSON-RPC entry: a single call or a batch. A batch answers one element per element that
// is not a notification, in order, whatever the elements hold.
#include <nlohmann/json.hpp>

#include "a2a/gateway/error_catalog.h"
#include "a2a/gateway/errors.h"
#include "a2a/gateway/route_handlers.h"
#include "a2a/jsonrpc/json_raw.h"
#include "a2a/jsonrpc/json_rpc.h"
#include "a2a/tasks/task_json.h"
#include "a2a/tasks/log_scan/task_index.h"
#include "a2a/tasks/task_log.h"
#include "base/text.h"

namespace tessik {
namespace {

GatewayResponse no_content() {
  GatewayResponse response;
  response.status = 204;
  response.content_type = "application/json";
  return response;
}

bool is_json_object_text(std::string_view text) {
  return !text.empty() && text.front() == '{';
}

bool has_streaming_method(std::string_view element) {
  const nlohmann::json request = nlohmann::json::parse(element, nullptr, false);
  const auto method = request.find("method");
  return method != request.end() && method->is_string() &&
         is_streaming_method(method->get<std::string>());
}

// The answer body of one element, or "" when the element is a notification.
std::string answer_element(const GatewayCall& call, std::string_view element) {
  if (!is_json_object_text(element)) {
    return make_json_rpc_error("null", kJsonRpcInvalidRequest, "Invalid Request",
                               local_code::kInvalidJsonRpcRequest)
        .body;
  }
  if (has_streaming_method(element)) {
    return make_json_rpc_error(json_rpc_id(element), kJsonRpcUnsupportedOperation,
                               "Streaming methods are not allowed in a JSON-RPC batch.",
                               local_code::kUnsupportedOperation)
        .body;
  }
  GatewayRequest request = call.request;
  request.body = std::string(element);
  const GatewayCall element_call{
      request,   call.principal, call.context, call.registry,     call.evidence,
      call.stop, call.method,    call.paths,   call.scoped_agent, call.scoped_provider};
  GatewayResponse response = handle_json_rpc_call(element_call);
  if (is_json_rpc_notification(element)) return "";
  return std::move(response.body);
}

// Every refusal past the budget is one short error object; these bound what they add.
constexpr std::size_t kMaxRefusalBytes = 512;
static_assert(2 * (kJsonRpcBatchAnswerBudgetBytes + kMaxJsonRpcBatchElements * kMaxRefusalBytes) +
                      64 * 1024 <
                  kMaxFramePayloadBytes,
              "a batch answer within its budget must fit one response frame");

// An id long enough to break the bound above is answered as null: the answer must fit.
std::string answer_full_error(const std::string& id, std::string_view message) {
  const std::string_view echoed = id.size() <= 128 ? std::string_view(id) : "null";
  return make_json_rpc_error(echoed, kJsonRpcInternalError, message,
                             local_code::kJsonRpcBatchAnswerFull)
      .body;
}

// The id of the task an element's answer carries ({"task":{...}} for 1.0, the task itself
// for 0.3), or "" when it carries none.
std::string answered_task_id(std::string_view answer) {
  const nlohmann::json document = nlohmann::json::parse(answer, nullptr, false);
  const auto result = document.find("result");
  if (!document.is_object() || result == document.end() || !result->is_object()) return "";
  const auto task = result->find("task");
  const nlohmann::json& holder = task != result->end() && task->is_object() ? *task : *result;
  const auto id = holder.find("id");
  const auto status = holder.find("status");
  if (id == holder.end() || !id->is_string() || status == holder.end()) return "";
  return id->get<std::string>();
}

// The element ran and may have stored a task, but its answer will not reach the client: the
// task itself has to say so, since the client will only ever see it through GetTask.
void record_undelivered_answer(const GatewayCall& call, std::string_view answer) {
  const std::string task_id = answered_task_id(answer);
  if (task_id.empty()) return;
  const std::filesystem::path log_path = task_log_path(call.context);
  const std::optional<std::string> line = find_latest_task_line_indexed(log_path, task_id);
  if (!line) return;
  std::optional<TaskRecord> task = parse_task_record(*line);
  if (!task) return;
  add_task_event(*task, task->state, "batch_answer_not_delivered",
                 "The JSON-RPC batch answer had no room for this task; it was not returned to "
                 "the client.");
  try {
    append_task_record(log_path, *task);
  } catch (const std::exception&) {
    // The send itself stands; an event that cannot be written loses only this note.
  }
}

GatewayResponse handle_batch(const GatewayCall& call, std::string_view body) {
  const auto elements = raw_json_array_elements(body);
  if (!elements || elements->empty() || elements->size() > kMaxJsonRpcBatchElements) {
    return make_json_rpc_error("null", kJsonRpcInvalidRequest, "Invalid Request",
                               local_code::kInvalidJsonRpcBatch);
  }
  std::string answers;
  // Once one answer did not fit, running more elements would only do work nobody hears of.
  bool full = false;
  for (const std::string& element : *elements) {
    std::string answer;
    if (full) {
      if (is_json_rpc_notification(element)) continue;
      answer = answer_full_error(json_rpc_id(element),
                                 "The batch answer is full; this element was not run.");
    } else {
      answer = answer_element(call, element);
      if (answers.size() + answer.size() > kJsonRpcBatchAnswerBudgetBytes) {
        full = true;
        record_undelivered_answer(call, answer);
        answer = answer_full_error(json_rpc_id(element),
                                   "The answer to this element did not fit in the batch answer; "
                                   "read its task with GetTask.");
      }
    }
    if (answer.empty()) continue;
    answers += answers.empty() ? '[' : ',';
    answers += answer;
  }
  if (answers.empty()) return no_content();
  answers += ']';
  GatewayResponse response;
  response.status = 200;
  response.content_type = "application/json";
  response.body = std::move(answers);
  return response;
}

}  // namespace

GatewayResponse handle_json_rpc(const GatewayCall& call) {
  const std::string body = trim(call.request.body);
  if (!body.empty() && body.front() == '[') return handle_batch(call, body);
  GatewayResponse response = handle_json_rpc_call(call);
  if (is_json_rpc_notification(call.request.body)) return no_content();
  return response;
}

}  // namespace tessik
