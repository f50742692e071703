// The view is written member by member because its key order is fixed and differs from the
// sorted document it is cut from.
#include "a2a/tasks/task_view.h"

#include <nlohmann/json.hpp>

#include "a2a/tasks/task_json.h"
#include "base/json_depth.h"
#include "base/text.h"

namespace tessik {
namespace {

using nlohmann::json;

std::string raw_member(const json& document, std::string_view key) {
  if (!document.is_object()) return "";
  const auto it = document.find(key);
  if (it == document.end()) return "";
  return it->dump(-1, ' ', false, json::error_handler_t::replace);
}

void append_raw(std::string& out, std::string_view key, const std::string& raw) {
  if (trim(raw).empty()) return;
  if (out.size() > 1) out += ',';
  out += '"';
  out += key;
  out += "\":";
  out += raw;
}

std::string last_history_elements(const json& document, std::int64_t keep) {
  const auto it = document.find("history");
  if (it == document.end()) return "";
  if (!it->is_array()) return raw_member(document, "history");
  const std::size_t size = it->size();
  const std::size_t first =
      static_cast<std::uint64_t>(keep) >= size ? 0 : size - static_cast<std::size_t>(keep);
  std::string out = "[";
  for (std::size_t i = first; i < size; ++i) {
    if (i > first) out += ',';
    out += (*it)[i].dump(-1, ' ', false, json::error_handler_t::replace);
  }
  out += ']';
  return out;
}

}  // namespace

std::string build_task_view(std::string_view line, std::optional<std::int64_t> history_length,
                            bool include_artifacts, std::string_view version) {
  const std::optional<TaskRecord> task = parse_task_record(line);
  const json document = task ? task_document(*task, is_a2a_v03(version))
                        : json_nesting_within(line, kMaxStoredJsonNestingDepth)
                            ? json::parse(line, nullptr, false)
                            : json();
  std::string view = "{";
  append_raw(view, "id", raw_member(document, "id"));
  append_raw(view, "contextId", raw_member(document, "contextId"));
  append_raw(view, "status", raw_member(document, "status"));
  if (include_artifacts) {
    std::string artifacts = raw_member(document, "artifacts");
    append_raw(view, "artifacts", artifacts.empty() ? "[]" : artifacts);
  }
  if (!history_length) {
    append_raw(view, "history", raw_member(document, "history"));
  } else if (*history_length > 0) {
    append_raw(view, "history", last_history_elements(document, *history_length));
  }
  append_raw(view, "metadata", raw_member(document, "metadata"));
  append_raw(view, "kind", raw_member(document, "kind"));
  view += '}';
  return view;
}

std::optional<std::int64_t> parse_integer_parameter(std::string_view text, std::int64_t min_value,
                                                    std::int64_t max_value) {
  const std::string digits = trim(text);
  if (digits.empty()) return std::nullopt;
  std::int64_t value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    const int digit = c - '0';
    if (value > (INT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  if (value < min_value || value > max_value) return std::nullopt;
  return value;
}

std::optional<bool> parse_boolean_parameter(std::string_view text) {
  const std::string word = ascii_lower(trim(text));
  if (word == "true") return true;
  if (word == "false") return false;
  return std::nullopt;
}

}  // namespace tessik
