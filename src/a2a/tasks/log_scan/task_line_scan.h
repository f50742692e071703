// One fast pass over a stored task line: checks that the line is JSON and picks out the few
// fields that lookups, visibility, filters and sorting need, without building a document.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tessik {

// The fields of a task line that are read before a task is rendered, each by the stored-line
// lookup rule (a string member's text, another value's compact JSON text, "" when absent).
struct TaskLineSummary {
  std::string id;
  std::string context_id;
  std::string state;      // status.state
  std::string timestamp;  // status.timestamp
  std::string requester_client_id;
  std::string requester_agent;
  std::string requester_node;

  bool operator==(const TaskLineSummary&) const = default;
};

// No summary when the line is not one JSON value: a truncated line, garbage, trailing bytes,
// invalid UTF-8 inside a string. A JSON value that is not an object gives an empty summary.
// Agrees with reading the line through nlohmann::json on every input; the rare shapes the
// fast path does not decide itself (non-text member values, numbers with exponents, very
// deep nesting) are handed to the library.
std::optional<TaskLineSummary> scan_task_line(std::string_view line);

// The same, filling `summary` in place so that a caller scanning many lines reuses its
// buffers. Returns false (summary unspecified) where scan_task_line gives nothing.
bool scan_task_line_into(std::string_view line, TaskLineSummary& summary);

// The same answer computed through nlohmann::json alone; the reference for scan_task_line.
std::optional<TaskLineSummary> summarize_task_line_slowly(std::string_view line);

}  // namespace tessik
