// The broker's indexes of the task logs it serves, one per log path, kept across requests so
// that a request reads only what was appended since the one before.
#include "a2a/tasks/log_scan/appended_log.h"
#include "a2a/tasks/log_scan/task_index.h"
#include "base/text.h"

namespace tessik {

void with_task_log_index(const std::filesystem::path& log_path,
                         const std::function<void(const TaskLogIndex&)>& use) {
  // Outlives every static user.
  static auto* const indexes = new SharedLogViews<TaskLogIndex>();
  indexes->with(log_path, [&](TaskLogIndex& index) {
    // Half-applied lines leave the index unusable: a failed refresh drops it and the next
    // request builds a new one.
    index.refresh();
    use(index);
  });
}

std::optional<std::string> find_latest_task_line_indexed(const std::filesystem::path& log_path,
                                                         std::string_view task_id) {
  const std::string wanted = trim(task_id);
  std::optional<std::string> latest;
  if (wanted.empty()) return latest;
  with_task_log_index(log_path, [&](const TaskLogIndex& index) {
    const std::optional<std::uint32_t> slot = index.find(wanted);
    if (!slot) return;
    std::vector<std::string> lines = index.read_lines({*slot});
    if (!lines.front().empty()) latest = std::move(lines.front());
  });
  return latest;
}

}  // namespace tessik
