// Request texts for the Codex desktop IPC pipe, written out literally so that their exact
// shape (member order included) is what the application has always been sent.
#include "providers/codex/codex_ipc_messages.h"

#include <nlohmann/json.hpp>

#include "base/text.h"

namespace tessik {
namespace {

std::string text_field(const nlohmann::json& object, const char* key) {
  if (!object.is_object()) return {};
  const auto found = object.find(key);
  return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

// One "input" array with the body as its only text element.
std::string text_input(const std::string& body) {
  return "[{\"type\":\"text\",\"text\":\"" + json_escape(body) + "\",\"text_elements\":[]}]";
}

}  // namespace

std::string codex_initialize_request(std::string_view request_id) {
  return "{\"type\":\"request\",\"requestId\":\"" + json_escape(request_id) +
         "\",\"method\":\"initialize\",\"version\":0,\"params\":{\"clientType\":\"tessik\"}}";
}

std::string codex_owner_probe_request(std::string_view request_id, std::string_view thread_id) {
  return "{\"type\":\"request\",\"requestId\":\"" + json_escape(request_id) +
         "\",\"method\":\"thread-follower-load-complete-history\",\"version\":1,\"params\":{"
         "\"conversationId\":\"" +
         json_escape(thread_id) + "\"}}";
}

std::string codex_start_turn_template(const CodexTurnInput& input) {
  return "{\"type\":\"request\"," + std::string(kCodexRequestIdPlaceholder) +
         ",\"method\":\"thread-follower-start-turn\",\"version\":1,\"params\":{"
         "\"conversationId\":\"" +
         json_escape(input.thread_id) +
         "\",\"turnStartParams\":{\"input\":" + text_input(input.body) +
         ",\"serviceTier\":null,\"clientUserMessageId\":\"" + json_escape(input.client_message_id) +
         "\"}}}";
}

std::string codex_steer_turn_template(const CodexTurnInput& input) {
  const std::string metadata =
      "{\"source\":\"tessik\",\"transport\":\"codex_desktop_ipc\",\"message_id\":\"" +
      json_escape(input.message_id) + "\",\"target_agent\":\"" + json_escape(input.target_agent) +
      "\",\"target_thread_id\":\"" + json_escape(input.thread_id) + "\"}";
  const std::string body = json_escape(input.body);
  const std::string cwd = json_escape(input.cwd);
  const std::string message_id = json_escape(input.client_message_id);
  return "{\"type\":\"request\"," + std::string(kCodexRequestIdPlaceholder) +
         ",\"method\":\"thread-follower-steer-turn\",\"version\":1,\"params\":{"
         "\"conversationId\":\"" +
         json_escape(input.thread_id) + "\",\"clientUserMessageId\":\"" + message_id +
         "\",\"input\":" + text_input(input.body) +
         ",\"serviceTier\":null,\"attachments\":[],\"restoreMessage\":{\"id\":\"" + message_id +
         "\",\"text\":\"" + body + "\",\"context\":{\"prompt\":\"" + body +
         "\",\"addedFiles\":[],\"fileAttachments\":[],\"ideContext\":null,"
         "\"imageAttachments\":[],\"workspaceRoots\":[\"" +
         cwd + "\"]},\"cwd\":\"" + cwd +
         "\",\"createdAt\":0,\"responsesapiClientMetadata\":{\"message_metadata\":\"" +
         json_escape(metadata) + "\"}}}}";
}

std::optional<std::string> fill_codex_request_template(std::string_view request_template,
                                                       std::string_view request_id) {
  const std::size_t at = request_template.find(kCodexRequestIdPlaceholder);
  if (at == std::string_view::npos) return std::nullopt;
  std::string filled(request_template.substr(0, at));
  filled += "\"requestId\":\"" + json_escape(request_id) + "\"";
  filled += request_template.substr(at + kCodexRequestIdPlaceholder.size());
  return filled;
}

std::string codex_client_discovery_answer(const nlohmann::json& request) {
  return "{\"type\":\"client-discovery-response\",\"requestId\":\"" +
         json_escape(text_field(request, "requestId")) + "\",\"discoveryId\":\"" +
         json_escape(text_field(request, "discoveryId")) + "\",\"method\":\"" +
         json_escape(text_field(request, "method")) +
         "\",\"params\":{\"clientType\":\"tessik\",\"canHandle\":false}}";
}

}  // namespace tessik
