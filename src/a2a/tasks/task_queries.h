// Reading tasks back, listing them with filters and pages, and cancelling them. Each
// operation decides once and returns a TaskOperationResult that either binding renders
// (render_task_result_http / render_task_result_json_rpc). Scope checks are the caller's;
// visibility is applied here. The task log is context.tasks_path.
#pragma once

#include <cstdint>
#include <map>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "a2a/gateway/gateway_context.h"
#include "a2a/tasks/task_result.h"
#include "wire/envelope.h"

namespace tessik {

// A validated list query. Texts are trimmed.
struct TaskListQuery {
  std::string context_id;
  std::string status;
  std::int32_t page_size = 50;
  std::string page_token;
  std::optional<std::int64_t> history_length;
  std::string status_timestamp_after;
  bool include_artifacts = false;
};

// The list parameters as the request gave them (absent: nullopt), before validation.
struct TaskListParams {
  std::optional<std::string> context_id;
  std::optional<std::string> status;
  std::optional<std::string> page_size;
  std::optional<std::string> page_token;
  std::optional<std::string> history_length;
  std::optional<std::string> status_timestamp_after;
  std::optional<std::string> include_artifacts;
};

// HTTP+JSON: from the decoded URL query, under the camel-case names.
TaskListParams list_params_from_query(const std::map<std::string, std::string>& query);
// JSON-RPC: from the params object, snake-case spelling first, then camel case. Non-string
// values are read as their JSON text (so 20 and "20" agree). A non-object gives no params.
TaskListParams list_params_from_json(const nlohmann::json& params);

// The query, or the first validation message ("pageSize must be an integer from 1 through
// 100.", "historyLength must be a non-negative integer.", "includeArtifacts must be true or
// false.").
std::variant<TaskListQuery, std::string> parse_list_query(const TaskListParams& params);

// The task id of "/tasks/{id}", "/tasks/{id}:cancel" or "/tasks/{id}:subscribe", trimmed.
std::string task_id_from_path(std::string_view path);

// Status filter normalisation: trimmed, lower-cased, without "task_state_", "-" as "_".
std::string normalize_task_state_filter(std::string_view state);

// GET /tasks/{id}: the task view with every artifact. `history_length` is the raw parameter
// text when the request had one. 404 for a task that is missing or not the caller's.
TaskOperationResult get_task(const GatewayContext& context, const Principal& principal,
                             std::string_view task_id,
                             const std::optional<std::string>& history_length,
                             std::string_view version);

// GET /tasks: {"tasks":[views],"nextPageToken":...,"pageSize":...,"totalSize":...}, newest
// status first, only the caller's tasks. Reads the whole log once.
TaskOperationResult list_tasks(const GatewayContext& context, const Principal& principal,
                               const TaskListParams& params, std::string_view version);

// POST /tasks/{id}:cancel: appends a cancelled copy of a task that is not terminal yet and
// hands it to push delivery; a task already cancelled comes back unchanged. `body` is the
// request body (JSON-RPC: the params) as text; its "reason" or "metadata"."reason" becomes
// the event message. Answers the full task document. A log that cannot be written answers
// 500 with the write error's message; nothing already stored is touched.
TaskOperationResult cancel_task(const GatewayContext& context, const Principal& principal,
                                std::string_view task_id, std::string_view body,
                                std::string_view version);

inline constexpr char kDefaultCancelReason[] =
    "A2A client requested cancellation. Local provider dispatch may already have occurred.";

}  // namespace tessik
