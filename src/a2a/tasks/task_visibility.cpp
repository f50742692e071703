// Task visibility through the shared ownership rule.
#include "a2a/tasks/task_visibility.h"

#include "a2a/gateway/scopes.h"

namespace tessik {

bool is_task_visible(const TaskLineSummary& task, const Principal& principal) {
  return caller_owns_record({task.requester_client_id, task.requester_agent, task.requester_node},
                            principal);
}

bool is_task_visible(std::string_view line, const Principal& principal) {
  const std::optional<TaskLineSummary> summary = scan_task_line(line);
  return summary.has_value() && is_task_visible(*summary, principal);
}

}  // namespace tessik
