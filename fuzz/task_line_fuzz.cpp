// A line of the task log: the fast scanner must agree with the library reading whenever both
// accept a line, and the record and view readers must survive any line.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "a2a/tasks/task_json.h"
#include "a2a/tasks/log_scan/task_line_scan.h"
#include "a2a/tasks/task_view.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tessik;
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  const std::optional<TaskLineSummary> fast = scan_task_line(line);
  const std::optional<TaskLineSummary> slow = summarize_task_line_slowly(line);
  if (fast && slow && (fast->id != slow->id || fast->state != slow->state)) __builtin_trap();
  if (const std::optional<TaskRecord> task = parse_task_record(line)) {
    task_to_json_v1(*task);
  }
  build_task_view(line, size % 4, size % 2, (size % 3) ? "1.0" : "0.3");
  return 0;
}
