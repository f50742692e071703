// The continuation rule for follow-up messages.
#include "a2a/intake/task_continuation.h"

#include "a2a/gateway/error_catalog.h"
#include "a2a/gateway/errors.h"
#include "a2a/tasks/task_json.h"
#include "a2a/tasks/log_scan/task_index.h"
#include "a2a/tasks/task_log.h"
#include "a2a/tasks/task_visibility.h"
#include "base/text.h"

namespace tessik {
namespace {

bool same_name(std::string_view a, std::string_view b) {
  return ascii_lower(trim(a)) == ascii_lower(trim(b));
}

// A target the send names by name matches the row under any name the registry knows it by.
bool names_agent(std::string_view name, const AgentRecord& agent) {
  if (same_name(name, agent_registry_name(agent)) || same_name(name, agent.agent_id)) {
    return true;
  }
  for (const std::string& alias : agent.aliases) {
    if (same_name(name, alias)) return true;
  }
  return false;
}

}  // namespace

const AgentRecord* find_task_target(const TaskRecord& task,
                                    const std::vector<AgentRecord>& agents) {
  const std::string session = trim(task.target_provider_session_id);
  if (!session.empty()) {
    for (const AgentRecord& agent : agents) {
      if (agent.provider_session_id == session && agent.provider == task.target_provider) {
        return &agent;
      }
    }
  }
  if (trim(task.target_agent).empty()) return nullptr;
  for (const AgentRecord& agent : agents) {
    if (same_name(task.target_agent, agent_registry_name(agent)) ||
        same_name(task.target_agent, agent.agent_id)) {
      return &agent;
    }
  }
  return nullptr;
}

TaskContinuation check_task_continuation(TaskSendInput& send,
                                         const std::filesystem::path& task_log_path,
                                         const Principal& principal,
                                         const std::vector<AgentRecord>& agents) {
  using Code = TaskContinuationCode;
  if (trim(send.task_id).empty()) return {Code::new_task, false};
  const std::optional<std::string> line = find_latest_task_line_indexed(task_log_path, send.task_id);
  if (!line || !is_task_visible(*line, principal)) return {Code::not_found, false};
  const std::optional<TaskRecord> task = parse_task_record(*line);
  if (!task) return {Code::corrupt, false};
  if (is_terminal_task_state(task->state)) return {Code::terminal, false};
  const std::string context = trim(send.context_id);
  if (!context.empty() && context != task->context_id) return {Code::context_mismatch, false};
  const AgentRecord* target = find_task_target(*task, agents);
  if (target == nullptr) return {Code::target_gone, false};
  const std::string target_id = trim(send.target_id);
  if (!target_id.empty() && target_id != target->public_agent_id) {
    return {Code::target_mismatch, false};
  }
  if (!trim(send.target_agent).empty() && !names_agent(send.target_agent, *target)) {
    return {Code::target_mismatch, false};
  }
  send.context_id = task->context_id;
  send.history = json_member_text(nlohmann::json::parse(*line, nullptr, false), "history");
  send.target_id = target->public_agent_id;
  send.target_agent = agent_registry_name(*target);
  return {Code::new_task, true};
}

TaskError task_continuation_error(TaskContinuationCode code) {
  switch (code) {
    case TaskContinuationCode::not_found:
      return {404, kJsonRpcTaskNotFound, std::string(local_code::kTaskNotFoundError),
              "Task not found", "Task not found"};
    case TaskContinuationCode::terminal:
      return {400, kJsonRpcUnsupportedOperation, std::string(local_code::kUnsupportedOperation),
              "Messages cannot be sent to a terminal task.",
              "Messages cannot be sent to a terminal task."};
    case TaskContinuationCode::context_mismatch:
      return {400, kJsonRpcInvalidParams, std::string(local_code::kContextMismatch),
              "Message contextId does not match task contextId.", "Invalid parameters"};
    case TaskContinuationCode::target_mismatch:
      return {400, kJsonRpcInvalidParams, std::string(local_code::kTargetMismatch),
              "Referenced task target cannot be changed.",
              "Referenced task target cannot be changed."};
    case TaskContinuationCode::target_gone:
      return {404, kJsonRpcTaskNotFound, std::string(local_code::kTaskNotFoundError),
              "Referenced task target is no longer available.",
              "Referenced task target is no longer available."};
    case TaskContinuationCode::corrupt:
      return task_corrupt_error(500);
    case TaskContinuationCode::new_task:
      break;
  }
  throw std::logic_error("task_continuation_error called for a send that may proceed");
}

}  // namespace tessik
