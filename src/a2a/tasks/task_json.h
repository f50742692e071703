// The JSON forms of a task: message objects, the full task document for protocol 1.0 and 0.3,
// and reading a stored task line back into a TaskRecord.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "a2a/tasks/task_record.h"

namespace tessik {

// A message object written as text in a fixed key order (messageId, contextId, taskId, role,
// parts), values escaped by the shared JSON escaper. 1.0 keeps `role` as given ("ROLE_USER",
// "ROLE_AGENT"); 0.3 writes "user"/"agent" and adds the "kind" members.
std::string build_message_json(std::string_view message_id, std::string_view context_id,
                               std::string_view task_id, std::string_view role,
                               std::string_view text, bool v03);

// The elements of a history array text without the brackets: trimmed, one enclosing pair of
// brackets removed, trimmed again. "" for an empty or absent history.
std::string history_inner_text(std::string_view history);

// The artifact id tail: lower-case letters, digits, "_", "-" and "."; separators become
// single hyphens; other bytes vanish; "unknown" when nothing is left.
std::string task_artifact_slug(std::string_view text);

// The id of the agent's reply message: the reply message id, else the task id + "-reply".
std::string task_reply_message_id(const TaskRecord& task);

// True when the trimmed version text is "0.3".
bool is_a2a_v03(std::string_view version);

// The full task document as a JSON value (objects keep their keys in byte order).
nlohmann::json task_document(const TaskRecord& task, bool v03);

// The full task document as compact JSON text with keys in ascending byte order at every
// level; "0.3" renders the 0.3 wire names and "kind" members, anything else 1.0.
std::string task_to_json(const TaskRecord& task, std::string_view version);
std::string task_to_json_v1(const TaskRecord& task);

// Reads one stored line. No record when the line is not a JSON object or its trimmed id is
// empty. Values are taken as stored; contextId defaults to the id, the nodes to "local".
std::optional<TaskRecord> parse_task_record(std::string_view line);

// The lookup rule every reader of stored lines shares: the member's text when it is a
// string, its compact JSON text otherwise, "" when absent or when `object` is no object.
std::string json_member_text(const nlohmann::json& object, std::string_view key);

}  // namespace tessik
