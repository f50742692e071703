// Update documents are written by hand because callbacks see their key order.
#include "a2a/tasks/task_push_payloads.h"

#include "a2a/tasks/task_json.h"
#include "base/text.h"

namespace tessik {
namespace {

std::string or_local(const std::string& node) {
  return trim(node).empty() ? std::string("local") : node;
}

// ,"metadata":{...} — the same members for the status and the artifact update.
void append_metadata_member(std::string& out, const TaskRecord& task) {
  out += ",\"metadata\":{";
  append_json_string_member(out, "tessikTargetAgent", task.target_agent);
  out += ',';
  append_json_string_member(out, "tessikTargetProvider", task.target_provider);
  out += ',';
  append_json_string_member(out, "tessikTargetProviderSessionId", task.target_provider_session_id);
  out += ',';
  append_json_string_member(out, "tessikRequesterClientId", task.requester_client_id);
  out += ',';
  append_json_string_member(out, "tessikRequesterAgent", task.requester_agent);
  out += ',';
  append_json_string_member(out, "tessikRequesterNode", or_local(task.requester_node));
  out += ',';
  append_json_string_member(out, "tessikMessageId", task.message_id);
  if (!task.reply_message_id.empty() || !task.reply_sender_agent.empty() ||
      !task.reply_body.empty()) {
    out += ',';
    append_json_string_member(out, "tessikReplyMessageId", task.reply_message_id);
    out += ',';
    append_json_string_member(out, "tessikReplySenderAgent", task.reply_sender_agent);
    out += ',';
    append_json_string_member(out, "tessikReplySenderNode", or_local(task.reply_sender_node));
  }
  if (!task.error_code.empty() || !task.error_message.empty()) {
    out += ',';
    append_json_string_member(out, "tessikErrorCode", task.error_code);
    out += ',';
    append_json_string_member(out, "tessikErrorMessage", task.error_message);
  }
  out += '}';
}

void append_task_ids(std::string& out, const TaskRecord& task) {
  append_json_string_member(out, "taskId", task.id);
  out += ',';
  append_json_string_member(out, "contextId", task.context_id);
}

std::string status_text(const TaskRecord& task) {
  if (!trim(task.reply_body).empty()) return task.reply_body;
  if (!task.error_message.empty()) return task.error_message;
  if (!task.events.empty()) return task.events.back().message;
  return "";
}

std::string status_update(const TaskRecord& task) {
  std::string out = "{\"statusUpdate\":{\"kind\":\"status-update\",";
  append_task_ids(out, task);
  out += ",\"status\":{";
  append_json_string_member(out, "state", task.state);
  std::string timestamp = trim(task.timestamp);
  if (timestamp.empty() && !task.events.empty()) timestamp = task.events.back().timestamp;
  if (!timestamp.empty()) {
    out += ',';
    append_json_string_member(out, "timestamp", timestamp);
  }
  const std::string text = status_text(task);
  if (!text.empty()) {
    out += ",\"message\":{\"role\":\"ROLE_AGENT\",\"parts\":[{";
    append_json_string_member(out, "text", text);
    out += "}]}";
  }
  out += "},\"final\":";
  out += is_terminal_task_state(task.state) ? "true" : "false";
  append_metadata_member(out, task);
  out += "}}";
  return out;
}

std::string artifact_update(const TaskRecord& task) {
  const std::string reply_id = trim(task.reply_message_id);
  std::string out = "{\"artifactUpdate\":{\"kind\":\"artifact-update\",";
  append_task_ids(out, task);
  out += ",\"artifact\":{";
  append_json_string_member(
      out, "artifactId",
      "reply-" + task_artifact_slug(reply_id.empty() ? task.message_id : reply_id));
  out += ',';
  append_json_string_member(out, "name", "Provider reply");
  out += ",\"parts\":[{";
  append_json_string_member(out, "text", task.reply_body);
  out += "}],\"metadata\":{";
  append_json_string_member(out, "tessikReplyMessageId", task.reply_message_id);
  out += ',';
  append_json_string_member(out, "tessikReplySenderAgent", task.reply_sender_agent);
  out += ',';
  append_json_string_member(out, "tessikReplySenderNode", or_local(task.reply_sender_node));
  out += "}},\"append\":false,\"lastChunk\":true";
  append_metadata_member(out, task);
  out += "}}";
  return out;
}

}  // namespace

std::vector<std::string> build_task_push_payloads(const TaskRecord& task) {
  std::vector<std::string> payloads;
  payloads.push_back("{\"task\":" + task_to_json_v1(task) + "}");
  payloads.push_back(status_update(task));
  if (!trim(task.reply_body).empty()) payloads.push_back(artifact_update(task));
  return payloads;
}

}  // namespace tessik
