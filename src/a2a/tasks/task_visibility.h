// Which stored tasks a caller may see: the ownership rule applied to a task's requester.
// A task the caller may not see is answered exactly like one that does not exist.
#pragma once

#include <string_view>

#include "a2a/tasks/log_scan/task_line_scan.h"
#include "wire/envelope.h"

namespace tessik {

// The task's requester client id, agent and node are its owner fields.
bool is_task_visible(const TaskLineSummary& task, const Principal& principal);
// The same for a stored line; a line that is not JSON is visible to nobody.
bool is_task_visible(std::string_view line, const Principal& principal);

}  // namespace tessik
