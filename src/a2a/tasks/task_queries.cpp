// Get, list and cancel over the task log's index. Listing decides on the indexed fields and
// reads back only the lines of the page it renders.
#include "a2a/tasks/task_queries.h"

#include <algorithm>
#include <array>
#include <nlohmann/json.hpp>

#include "a2a/gateway/scopes.h"
#include "a2a/tasks/task_json.h"
#include "a2a/tasks/log_scan/task_index.h"
#include "a2a/tasks/task_log.h"
#include "a2a/tasks/task_push_payloads.h"
#include "a2a/tasks/task_view.h"
#include "a2a/tasks/task_visibility.h"
#include "base/text.h"

namespace tessik {
namespace {

std::optional<std::string> query_value(const std::map<std::string, std::string>& query,
                                       const char* name) {
  const auto it = query.find(name);
  if (it == query.end()) return std::nullopt;
  return it->second;
}

std::optional<std::string> json_value(const nlohmann::json& params, const char* snake,
                                      const char* camel) {
  for (const char* name : {snake, camel}) {
    if (params.contains(name)) return json_member_text(params, name);
  }
  return std::nullopt;
}

std::string trimmed_or_empty(const std::optional<std::string>& text) {
  return text ? trim(*text) : std::string();
}

// A decision made once per distinct owner or state of the log: logs hold many tasks of few
// owners and a handful of states.
class DecidedOnce {
 public:
  explicit DecidedOnce(std::size_t count) : decided_(count, kUndecided) {}

  template <typename Decide>
  bool get(std::uint32_t number, Decide&& decide) {
    if (decided_[number] == kUndecided) decided_[number] = decide() ? 1 : 0;
    return decided_[number] == 1;
  }

 private:
  static constexpr std::int8_t kUndecided = -1;
  std::vector<std::int8_t> decided_;
};

// A selected task and its place among the caller's filtered tasks, most recently written
// first. Ordering by (timestamp descending, place) is the stable sort by timestamp.
struct Ranked {
  std::string_view timestamp;
  std::uint32_t slot;
  std::uint32_t place;
};

bool ranks_before(const Ranked& a, const Ranked& b) {
  if (a.timestamp != b.timestamp) return a.timestamp > b.timestamp;
  return a.place < b.place;
}

std::vector<Ranked> select_tasks(const TaskLogIndex& index, const TaskListQuery& query,
                                 const Principal& principal) {
  const std::string wanted_state =
      query.status.empty() ? std::string() : normalize_task_state_filter(query.status);
  DecidedOnce visible(index.owner_count());
  DecidedOnce state_matches(index.state_count());
  std::vector<Ranked> selected;
  for (std::uint32_t slot = index.slot_count(); slot-- > 0;) {
    if (!index.live(slot)) continue;
    const bool shown = visible.get(index.owner(slot), [&] {
      const TaskOwnerText& owner = index.owner_text(index.owner(slot));
      return caller_owns_record({owner.client_id, owner.agent, owner.node}, principal);
    });
    if (!shown) continue;
    if (!query.context_id.empty() && index.context_id(slot) != query.context_id) continue;
    if (!wanted_state.empty() && !state_matches.get(index.state(slot), [&] {
          return wanted_state == normalize_task_state_filter(index.state_text(index.state(slot)));
        })) {
      continue;
    }
    const std::string_view timestamp = index.timestamp(slot);
    if (!query.status_timestamp_after.empty() && query.status_timestamp_after > timestamp) continue;
    selected.push_back({timestamp, slot, static_cast<std::uint32_t>(selected.size())});
  }
  return selected;
}

// Puts the tasks of ranks [start, end) in order at those positions. Only the page is
// sorted: the rest of the list needs no order for the answer.
void order_page(std::vector<Ranked>& selected, std::size_t start, std::size_t end) {
  if (start >= end) return;
  std::nth_element(selected.begin(), selected.begin() + start, selected.end(), ranks_before);
  std::partial_sort(selected.begin() + start, selected.begin() + end, selected.end(), ranks_before);
}

std::string list_document(const std::vector<std::string>& views, std::string_view next_token,
                          std::int32_t page_size, std::size_t total_size) {
  std::string out = "{\"tasks\":[";
  for (std::size_t i = 0; i < views.size(); ++i) {
    if (i > 0) out += ',';
    out += views[i];
  }
  out += "],\"nextPageToken\":\"";
  append_json_escaped(out, next_token);
  out += "\",\"pageSize\":";
  out += std::to_string(page_size);
  out += ",\"totalSize\":";
  out += std::to_string(total_size);
  out += '}';
  return out;
}

bool is_cancelled_state(std::string_view state) {
  const std::string normalized = ascii_lower(trim(state));
  return normalized == "task_state_canceled" || normalized == "task_state_cancelled";
}

std::string cancel_reason(std::string_view body) {
  const nlohmann::json request = nlohmann::json::parse(body, nullptr, false);
  std::string reason = trim(json_member_text(request, "reason"));
  if (reason.empty()) {
    const nlohmann::json metadata =
        nlohmann::json::parse(json_member_text(request, "metadata"), nullptr, false);
    reason = trim(json_member_text(metadata, "reason"));
  }
  return reason.empty() ? std::string(kDefaultCancelReason) : reason;
}

}  // namespace

TaskListParams list_params_from_query(const std::map<std::string, std::string>& query) {
  return {query_value(query, "contextId"),       query_value(query, "status"),
          query_value(query, "pageSize"),        query_value(query, "pageToken"),
          query_value(query, "historyLength"),   query_value(query, "statusTimestampAfter"),
          query_value(query, "includeArtifacts")};
}

TaskListParams list_params_from_json(const nlohmann::json& params) {
  if (!params.is_object()) return {};
  return {json_value(params, "context_id", "contextId"),
          json_value(params, "status", "status"),
          json_value(params, "page_size", "pageSize"),
          json_value(params, "page_token", "pageToken"),
          json_value(params, "history_length", "historyLength"),
          json_value(params, "status_timestamp_after", "statusTimestampAfter"),
          json_value(params, "include_artifacts", "includeArtifacts")};
}

std::variant<TaskListQuery, std::string> parse_list_query(const TaskListParams& params) {
  TaskListQuery query;
  query.context_id = trimmed_or_empty(params.context_id);
  query.status = trimmed_or_empty(params.status);
  query.page_token = trimmed_or_empty(params.page_token);
  query.status_timestamp_after = trimmed_or_empty(params.status_timestamp_after);
  if (params.page_size) {
    const auto size = parse_integer_parameter(*params.page_size, 1, 100);
    if (!size) return std::string("pageSize must be an integer from 1 through 100.");
    query.page_size = static_cast<std::int32_t>(*size);
  }
  if (params.history_length) {
    query.history_length = parse_integer_parameter(*params.history_length, 0, kMaxHistoryLength);
    if (!query.history_length) return std::string("historyLength must be a non-negative integer.");
  }
  if (params.include_artifacts) {
    const auto include = parse_boolean_parameter(*params.include_artifacts);
    if (!include) return std::string("includeArtifacts must be true or false.");
    query.include_artifacts = *include;
  }
  return query;
}

std::string task_id_from_path(std::string_view path) {
  constexpr std::string_view kMarker = "/tasks/";
  const std::size_t at = path.find(kMarker);
  if (at == std::string_view::npos) return "";
  std::string_view rest = path.substr(at + kMarker.size());
  for (std::string_view suffix : {std::string_view(":cancel"), std::string_view(":subscribe")}) {
    if (rest.size() > suffix.size() && rest.substr(rest.size() - suffix.size()) == suffix) {
      rest.remove_suffix(suffix.size());
      break;
    }
  }
  return trim(rest);
}

std::string normalize_task_state_filter(std::string_view state) {
  std::string normalized = ascii_lower(trim(state));
  constexpr std::string_view kPrefix = "task_state_";
  if (normalized.rfind(kPrefix, 0) == 0) normalized.erase(0, kPrefix.size());
  std::replace(normalized.begin(), normalized.end(), '-', '_');
  return normalized;
}

TaskOperationResult get_task(const GatewayContext& context, const Principal& principal,
                             std::string_view task_id,
                             const std::optional<std::string>& history_length,
                             std::string_view version) {
  const std::optional<std::string> line = find_latest_task_line_indexed(task_log_path(context), task_id);
  if (!line || !is_task_visible(*line, principal)) return task_failure(task_not_found_error());
  std::optional<std::int64_t> keep;
  if (history_length) {
    keep = parse_integer_parameter(*history_length, 0, kMaxHistoryLength);
    if (!keep) return task_failure(history_length_invalid_error());
  }
  return task_success(build_task_view(*line, keep, true, version));
}

TaskOperationResult list_tasks(const GatewayContext& context, const Principal& principal,
                               const TaskListParams& params, std::string_view version) {
  auto parsed = parse_list_query(params);
  if (auto* message = std::get_if<std::string>(&parsed)) {
    return task_failure(list_invalid_error(*message));
  }
  const TaskListQuery& query = std::get<TaskListQuery>(parsed);
  TaskOperationResult result = task_failure(page_token_invalid_error());
  with_task_log_index(task_log_path(context), [&](const TaskLogIndex& index) {
    std::vector<Ranked> selected = select_tasks(index, query, principal);
    std::size_t start = 0;
    if (!query.page_token.empty()) {
      const auto named = std::find_if(selected.begin(), selected.end(), [&](const Ranked& task) {
        return index.id(task.slot) == query.page_token;
      });
      if (named == selected.end()) return;
      const Ranked token = *named;
      start = 1 + static_cast<std::size_t>(
                      std::count_if(selected.begin(), selected.end(),
                                    [&](const Ranked& task) { return ranks_before(task, token); }));
    }
    const std::size_t end =
        std::min(start + static_cast<std::size_t>(query.page_size), selected.size());
    order_page(selected, start, end);
    const std::string next_token = end == selected.size() || end <= start
                                       ? std::string()
                                       : std::string(index.id(selected[end - 1].slot));
    std::vector<std::uint32_t> page;
    for (std::size_t i = start; i < end; ++i)
      page.push_back(selected[i].slot);
    std::vector<std::string> views = index.read_lines(page);
    for (std::string& view : views) {
      view = build_task_view(view, query.history_length, query.include_artifacts, version);
    }
    result = task_success(list_document(views, next_token, query.page_size, selected.size()));
  });
  return result;
}

TaskOperationResult cancel_task(const GatewayContext& context, const Principal& principal,
                                std::string_view task_id, std::string_view body,
                                std::string_view version) {
  const std::filesystem::path log_path = task_log_path(context);
  std::optional<std::string> line = find_latest_task_line_indexed(log_path, task_id);
  if (!line || !is_task_visible(*line, principal)) return task_failure(task_not_found_error());
  std::optional<TaskRecord> task = parse_task_record(*line);
  if (!task) return task_failure(task_corrupt_error(400));
  if (is_terminal_task_state(task->state) && !is_cancelled_state(task->state)) {
    return task_failure(task_not_cancelable_error());
  }
  const std::string reason = cancel_reason(body);

  try {
    // Decide on the freshest record, under the lock: a reply may complete the task meanwhile.
    const TaskLogLock lock(log_path);
    line = find_latest_task_line_indexed(log_path, task_id);
    if (!line) return task_failure(task_not_found_error());
    task = parse_task_record(*line);
    if (!task) return task_failure(task_corrupt_error(400));
    if (is_cancelled_state(task->state)) return task_success(task_to_json(*task, version));
    if (is_terminal_task_state(task->state)) return task_failure(task_not_cancelable_error());

    task->state = kTaskStateCanceled;
    task->error_code.clear();
    task->error_message.clear();
    add_task_event(*task, kTaskStateCanceled, "canceled_by_a2a_client", reason);
    append_task_record(log_path, *task);
  } catch (const TaskLogWriteError& error) {
    return task_failure(task_log_write_error(error.what()));
  } catch (const std::filesystem::filesystem_error& error) {
    return task_failure(task_log_write_error(error.what()));
  }
  trigger_task_push_delivery(context, *task);
  return task_success(task_to_json(*task, version));
}

}  // namespace tessik
