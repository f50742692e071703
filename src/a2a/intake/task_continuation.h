// Whether a send may continue the task it names, and what it takes over when it may.
#pragma once

#include <filesystem>
#include <optional>
#include <vector>

#include "a2a/tasks/task_record.h"
#include "a2a/tasks/task_result.h"
#include "registry/agent_record.h"
#include "wire/envelope.h"

namespace tessik {

// The continuation verdicts, numbered as the intake logs and tests know them.
enum class TaskContinuationCode : int {
  new_task = 0,          // the send names no task
  not_found = 1,         // no record, or the caller may not see it
  terminal = 2,          // the task is completed, failed, canceled or rejected
  context_mismatch = 3,  // the send's context id differs from the task's
  target_mismatch = 4,   // the send names another target
  target_gone = 5,       // the task's target agent left the registry
  corrupt = 6,           // the latest record does not parse
};

// The verdict: `code` is new_task both for a send that names no task and for one that may
// continue its task; `continued` tells the two apart.
struct TaskContinuation {
  TaskContinuationCode code = TaskContinuationCode::new_task;
  bool continued = false;
};

// Checks, in this order: no task named, not found or not visible, unreadable, terminal,
// context mismatch, target gone, target mismatch. When the send may continue, it takes over
// the task's context id, its stored history text and its target (`target_id` = the agent's
// public id, `target_agent` = its registry name). `agents` are the registry snapshot's rows.
// Reads the task log; never throws for a bad log.
TaskContinuation check_task_continuation(TaskSendInput& send,
                                         const std::filesystem::path& task_log_path,
                                         const Principal& principal,
                                         const std::vector<AgentRecord>& agents);

// The refusal for a code other than new_task: 404 "TaskNotFoundError" (not found, target
// gone), 400 "UnsupportedOperationError" (terminal), 400 context / target mismatch, 500
// "TESSIK_A2A_TASK_CORRUPT"; with the JSON-RPC codes and wordings beside them.
TaskError task_continuation_error(TaskContinuationCode code);

// The registry row a stored task is addressed to: the row with the task's provider and
// provider session id, else the row whose registry name or agent id is the task's target.
const AgentRecord* find_task_target(const TaskRecord& task, const std::vector<AgentRecord>& agents);

}  // namespace tessik
