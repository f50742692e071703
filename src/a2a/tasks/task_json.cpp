// Task documents. Messages are written by hand because their key order is fixed; the full
// document goes through nlohmann::json so that every level comes out sorted.
#include "a2a/tasks/task_json.h"

#include "base/json_depth.h"
#include "base/text.h"

namespace tessik {
namespace {

using nlohmann::json;

std::string dump_compact(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

// A member that may hold the JSON value itself or, as older writers did, its text.
const json* nested_value(const json& parent, std::string_view key, json& holder) {
  if (!parent.is_object()) return nullptr;
  const auto it = parent.find(key);
  if (it == parent.end()) return nullptr;
  if (!it->is_string()) return &*it;
  holder = json::parse(it->get_ref<const std::string&>(), nullptr, false);
  return holder.is_discarded() ? nullptr : &holder;
}

std::string or_local(const std::string& node) {
  return trim(node).empty() ? std::string("local") : node;
}

bool has_reply(const TaskRecord& task) {
  return !trim(task.reply_message_id).empty() || !trim(task.reply_sender_agent).empty() ||
         !trim(task.reply_body).empty();
}

json agent_reply_message(const TaskRecord& task, bool v03) {
  return json::parse(build_message_json(task_reply_message_id(task), task.context_id, task.id,
                                        "ROLE_AGENT", task.reply_body, v03));
}

json metadata_object(const TaskRecord& task) {
  json metadata = json::object();
  metadata["tessikTargetAgent"] = task.target_agent;
  metadata["tessikTargetProvider"] = task.target_provider;
  metadata["tessikTargetProviderSessionId"] = task.target_provider_session_id;
  metadata["tessikRequesterClientId"] = task.requester_client_id;
  metadata["tessikRequesterAgent"] = task.requester_agent;
  metadata["tessikRequesterNode"] = or_local(task.requester_node);
  metadata["tessikMessageId"] = task.message_id;
  if (has_reply(task)) {
    metadata["tessikReplyMessageId"] = task.reply_message_id;
    metadata["tessikReplySenderAgent"] = task.reply_sender_agent;
    metadata["tessikReplySenderNode"] = or_local(task.reply_sender_node);
    metadata["tessikReplyBody"] = task.reply_body;
  }
  if (!task.error_code.empty() || !task.error_message.empty()) {
    metadata["tessikErrorCode"] = task.error_code;
    metadata["tessikErrorMessage"] = task.error_message;
  }
  if (!task.operation.empty()) metadata["tessikOperation"] = task.operation;
  if (!task.created_agent_id.empty()) {
    metadata["tessikCreatedAgentId"] = task.created_agent_id;
    metadata["tessikCreatedAgentCardUrl"] = task.created_agent_card_url;
    metadata["tessikCreatedAgentEndpointUrl"] = task.created_agent_endpoint_url;
  }
  json events = json::array();
  for (const TaskEvent& event : task.events) {
    events.push_back({{"timestamp", event.timestamp},
                      {"state", event.state},
                      {"code", event.code},
                      {"message", event.message}});
  }
  metadata["tessikEvents"] = std::move(events);
  return metadata;
}

// A stored 1.0 history element re-rendered for a 0.3 client.
std::string history_element_v03(const json& element) {
  std::string text;
  if (const auto parts = element.find("parts");
      parts != element.end() && parts->is_array() && !parts->empty()) {
    text = json_member_text(parts->front(), "text");
  }
  const std::string role = ascii_lower(json_member_text(element, "role"));
  return build_message_json(
      json_member_text(element, "messageId"), json_member_text(element, "contextId"),
      json_member_text(element, "taskId"),
      role == "agent" || role == "role_agent" ? "ROLE_AGENT" : "ROLE_USER", text, true);
}

json history_array(const TaskRecord& task, bool v03) {
  const std::string inner = history_inner_text(task.history);
  json history = json::parse("[" + inner + "]", nullptr, false);
  if (!history.is_array()) history = json::array();
  if (v03) {
    std::string rendered = "[";
    for (const json& element : history) {
      if (rendered.size() > 1) rendered += ',';
      rendered += history_element_v03(element);
    }
    rendered += ']';
    history = json::parse(rendered);
  }
  if (!task.reply_body.empty()) {
    const std::string reply_id = task_reply_message_id(task);
    bool present = false;
    for (const json& element : history) {
      if (json_member_text(element, "messageId") == reply_id) present = true;
    }
    if (!present) history.push_back(agent_reply_message(task, v03));
  }
  return history;
}

json artifact_array(const TaskRecord& task, bool v03) {
  const std::string reply_id = trim(task.reply_message_id);
  json part = {{"text", task.reply_body}};
  if (v03) part["kind"] = "text";
  json artifact = {
      {"artifactId", "reply-" + task_artifact_slug(reply_id.empty() ? task.message_id : reply_id)},
      {"name", "Provider reply"},
      {"parts", json::array({part})},
      {"metadata",
       {{"tessikReplyMessageId", task.reply_message_id},
        {"tessikReplySenderAgent", task.reply_sender_agent},
        {"tessikReplySenderNode", or_local(task.reply_sender_node)}}}};
  return json::array({artifact});
}

}  // namespace

std::string build_message_json(std::string_view message_id, std::string_view context_id,
                               std::string_view task_id, std::string_view role,
                               std::string_view text, bool v03) {
  std::string out = "{";
  append_json_string_member(out, "messageId", message_id);
  out += ',';
  append_json_string_member(out, "contextId", context_id);
  out += ',';
  append_json_string_member(out, "taskId", task_id);
  out += ',';
  if (v03) {
    append_json_string_member(out, "role", role == "ROLE_AGENT" ? "agent" : "user");
    out += ",\"parts\":[{\"kind\":\"text\",";
  } else {
    append_json_string_member(out, "role", role);
    out += ",\"parts\":[{";
  }
  append_json_string_member(out, "text", text);
  out += "}]";
  if (v03) out += ",\"kind\":\"message\"";
  out += '}';
  return out;
}

std::string history_inner_text(std::string_view history) {
  std::string inner = trim(history);
  if (inner.size() >= 2 && inner.front() == '[' && inner.back() == ']') {
    inner = trim(std::string_view(inner).substr(1, inner.size() - 2));
  }
  return inner;
}

std::string task_artifact_slug(std::string_view text) {
  const std::string lowered = ascii_lower(trim(text));
  std::string slug;
  for (const char c : lowered) {
    const bool keep = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.';
    const bool separator = c == '-' || c == '/' || c == ':' || c == '\\' || c == ' ' || c == '\t' ||
                           c == '\n' || c == '\v' || c == '\f' || c == '\r';
    if (keep) {
      slug += c;
    } else if (separator && (slug.empty() || slug.back() != '-')) {
      slug += '-';
    }
  }
  while (!slug.empty() && slug.back() == '-')
    slug.pop_back();
  return slug.empty() ? "unknown" : slug;
}

std::string task_reply_message_id(const TaskRecord& task) {
  const std::string reply_id = trim(task.reply_message_id);
  return reply_id.empty() ? task.id + "-reply" : reply_id;
}

bool is_a2a_v03(std::string_view version) {
  return trim(version) == "0.3";
}

json task_document(const TaskRecord& task, bool v03) {
  json document = json::object();
  document["id"] = task.id;
  document["contextId"] = task.context_id;

  json status = {{"state", task_state_wire_name(task.state, v03)}};
  std::string timestamp = trim(task.timestamp);
  if (timestamp.empty() && !task.events.empty()) timestamp = task.events.back().timestamp;
  if (!timestamp.empty()) status["timestamp"] = timestamp;
  if (!trim(task.reply_body).empty()) status["message"] = agent_reply_message(task, v03);
  document["status"] = std::move(status);

  document["metadata"] = metadata_object(task);
  json history = history_array(task, v03);
  if (!history.empty()) document["history"] = std::move(history);
  if (!task.reply_body.empty()) document["artifacts"] = artifact_array(task, v03);
  if (v03) document["kind"] = "task";
  return document;
}

std::string task_to_json(const TaskRecord& task, std::string_view version) {
  return dump_compact(task_document(task, is_a2a_v03(version)));
}

std::string task_to_json_v1(const TaskRecord& task) {
  return task_to_json(task, "1.0");
}

std::string json_member_text(const json& object, std::string_view key) {
  if (!object.is_object()) return "";
  const auto it = object.find(key);
  if (it == object.end()) return "";
  if (it->is_string()) return it->get<std::string>();
  return dump_compact(*it);
}

std::optional<TaskRecord> parse_task_record(std::string_view line) {
  if (!json_nesting_within(line, kMaxStoredJsonNestingDepth)) return std::nullopt;
  const json document = json::parse(line, nullptr, false);
  TaskRecord task;
  task.id = json_member_text(document, "id");
  if (trim(task.id).empty()) return std::nullopt;
  task.context_id = json_member_text(document, "contextId");
  json status_holder;
  if (const json* status = nested_value(document, "status", status_holder)) {
    task.state = json_member_text(*status, "state");
    task.timestamp = json_member_text(*status, "timestamp");
  }
  json metadata_holder;
  if (const json* metadata = nested_value(document, "metadata", metadata_holder)) {
    const auto text = [&](std::string_view key) { return json_member_text(*metadata, key); };
    task.target_agent = text("tessikTargetAgent");
    task.target_provider = text("tessikTargetProvider");
    task.target_provider_session_id = text("tessikTargetProviderSessionId");
    task.requester_client_id = text("tessikRequesterClientId");
    task.requester_agent = text("tessikRequesterAgent");
    task.requester_node = text("tessikRequesterNode");
    task.message_id = text("tessikMessageId");
    task.error_code = text("tessikErrorCode");
    task.error_message = text("tessikErrorMessage");
    task.reply_body = text("tessikReplyBody");
    task.reply_message_id = text("tessikReplyMessageId");
    task.reply_sender_agent = text("tessikReplySenderAgent");
    task.reply_sender_node = text("tessikReplySenderNode");
    task.operation = text("tessikOperation");
    task.created_agent_id = text("tessikCreatedAgentId");
    task.created_agent_card_url = text("tessikCreatedAgentCardUrl");
    task.created_agent_endpoint_url = text("tessikCreatedAgentEndpointUrl");
    json events_holder;
    const json* events = nested_value(*metadata, "tessikEvents", events_holder);
    if (events != nullptr && events->is_array()) {
      for (const json& event : *events) {
        task.events.push_back({json_member_text(event, "timestamp"),
                               json_member_text(event, "state"), json_member_text(event, "code"),
                               json_member_text(event, "message")});
      }
    }
  }
  task.history = json_member_text(document, "history");
  if (task.context_id.empty()) task.context_id = task.id;
  if (task.requester_node.empty()) task.requester_node = "local";
  if (task.reply_sender_node.empty()) task.reply_sender_node = "local";
  return task;
}

}  // namespace tessik
