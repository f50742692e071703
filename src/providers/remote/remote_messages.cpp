// Documents and command lines of the remote transports.
#include "providers/remote/remote_messages.h"

#include <nlohmann/json.hpp>

#include "base/json_depth.h"
#include "base/text.h"

namespace tessik {
namespace {

using nlohmann::json;

std::string text_member(const json& object, const char* key) {
  const auto found = object.find(key);
  return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

std::optional<json> parse_object(std::string_view line) {
  const std::string_view trimmed = trim_view(line);
  if (trimmed.empty() || trimmed.size() > kMaxRelayLineBytes || trimmed.front() != '{') {
    return std::nullopt;
  }
  if (!json_nesting_within(trimmed)) return std::nullopt;
  json parsed = json::parse(trimmed, nullptr, false);
  if (parsed.is_discarded() || !parsed.is_object()) return std::nullopt;
  return parsed;
}

}  // namespace

std::string relay_session_input(const DeliveryRequest& request, std::string_view remote_target,
                                std::string_view request_id) {
  std::string out = R"({"type":"hello","protocol_version":"1","node_name":"local"})";
  out += "\n{\"type\":\"deliver\",\"protocol_version\":\"1\",";
  append_json_string_member(out, "request_id", request_id);
  out += ',';
  append_json_string_member(out, "target", remote_target);
  out += ',';
  append_json_string_member(out, "body", request.final_visible_body);
  out += request.strict ? ",\"strict\":true" : ",\"strict\":false";
  out += ",\"body_is_final_visible\":true";
  out += request.sender.resolved ? ",\"sender_resolved\":true," : ",\"sender_resolved\":false,";
  append_json_string_member(out, "sender_agent", request.sender.sender);
  out += ',';
  append_json_string_member(out, "sender_node", request.sender.node_id);
  out += ',';
  append_json_string_member(out, "sender_source", request.sender.source);
  out += ',';
  append_json_string_member(out, "target_provider", request.target.provider);
  out += ',';
  append_json_string_member(out, "target_provider_session_id", remote_target);
  out += ',';
  append_json_string_member(out, "target_display_name", request.target.display_name);
  out += ",\"target_node_id\":\"local\"}\n";
  return out;
}

std::optional<RelayAnswer> parse_relay_answer(std::string_view line) {
  const std::optional<json> parsed = parse_object(line);
  if (!parsed) return std::nullopt;
  RelayAnswer answer;
  answer.type = text_member(*parsed, "type");
  if (answer.type != "upstream_message" && answer.type != "deliver_result" &&
      answer.type != "error") {
    return std::nullopt;
  }
  answer.target = text_member(*parsed, "target");
  answer.body = text_member(*parsed, "body");
  answer.from = text_member(*parsed, "from");
  answer.from_node = text_member(*parsed, "from_node");
  answer.message_id = text_member(*parsed, "message_id");
  const auto accepted = parsed->find("accepted");
  answer.accepted = accepted != parsed->end() && accepted->is_boolean() && accepted->get<bool>();
  answer.state = text_member(*parsed, "state");
  answer.method = text_member(*parsed, "method");
  answer.evidence = text_member(*parsed, "evidence");
  answer.error = text_member(*parsed, "error");
  if (answer.type == "error" && answer.error.empty()) answer.error = text_member(*parsed, "message");
  return answer;
}

std::string remote_send_message_request(const DeliveryRequest& request,
                                        std::string_view remote_target,
                                        std::string_view target_node, std::string_view rpc_id) {
  json metadata = {{"tessikTargetNode", std::string(target_node)},
                   {"tessikRegistryAgentId", request.target.agent_id},
                   {"tessikSenderId", request.sender.sender},
                   {"tessikSenderNode", request.sender.node_id},
                   {"tessikSenderSource", request.sender.source},
                   {"tessikRequesterAgent", request.sender.sender},
                   {"tessikRequesterSource", request.source_context},
                   {"tessikTargetProviderSessionId", std::string(remote_target)},
                   {"tessikTargetAgent", std::string(remote_target)},
                   {"tessikStrict", request.strict}};
  json message = {{"messageId", request.message_id.empty() ? std::string(rpc_id)
                                                           : request.message_id},
                  {"role", "ROLE_USER"},
                  {"parts", json::array({{{"text", request.final_visible_body}}})},
                  {"metadata", std::move(metadata)}};
  json rpc = {{"jsonrpc", "2.0"},
              {"id", std::string(rpc_id)},
              {"method", "SendMessage"},
              {"params",
               {{"message", std::move(message)},
                {"metadata",
                 {{"tessikRequesterAgent", request.sender.sender},
                  {"tessikRequesterNode", request.sender.node_id},
                  {"tessikTargetAgent", std::string(remote_target)}}}}}};
  return rpc.dump(-1, ' ', false, json::error_handler_t::replace);
}

JsonRpcAnswer read_json_rpc_answer(std::string_view output) {
  JsonRpcAnswer answer;
  std::size_t start = 0;
  while (start <= output.size()) {
    std::size_t end = output.find('\n', start);
    if (end == std::string_view::npos) end = output.size();
    const std::string_view line = output.substr(start, end - start);
    start = end + 1;
    if (line.find("jsonrpc") == std::string_view::npos) continue;
    answer.found = true;
    answer.line = std::string(line);
    const std::optional<json> parsed = parse_object(line);
    if (!parsed) {
      answer.error = "remote JSON-RPC response was not a JSON object";
      return answer;
    }
    const auto error = parsed->find("error");
    if (error != parsed->end() && error->is_object()) {
      answer.error = text_member(*error, "message");
      if (answer.error.empty()) answer.error = "remote JSON-RPC request failed";
      return answer;
    }
    const auto result = parsed->find("result");
    if (result == parsed->end() || !result->is_object()) {
      answer.error = "remote JSON-RPC response carried neither result nor error";
      return answer;
    }
    const auto task = result->find("task");
    const json& body = task != result->end() && task->is_object() ? *task : *result;
    answer.task_id = text_member(body, "id");
    const auto status = body.find("status");
    if (status != body.end() && status->is_object()) answer.task_state = text_member(*status, "state");
    answer.accepted = answer.task_state != "TASK_STATE_FAILED" &&
                      answer.task_state != "TASK_STATE_REJECTED";
    if (!answer.accepted) answer.error = "remote task ended in " + answer.task_state;
    return answer;
  }
  return answer;
}

std::string legacy_api_body(std::string_view to, std::string_view body, std::string_view from,
                            std::string_view from_node, bool strict) {
  std::string out = "{";
  append_json_string_member(out, "to", to);
  out += ',';
  append_json_string_member(out, "body", body);
  out += ',';
  append_json_string_member(out, "from", from);
  out += ',';
  append_json_string_member(out, "from_node", from_node);
  out += strict ? ",\"strict\":true}" : ",\"strict\":false}";
  return out;
}

std::string shell_quote(std::string_view word) {
  std::string out = "'";
  for (const char c : word) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  out += '\'';
  return out;
}

std::string ssh_command_prefix(const NodeRecord& node, int connect_timeout_seconds) {
  std::string command =
      "ssh -o BatchMode=yes -o ConnectTimeout=" + std::to_string(connect_timeout_seconds);
  const std::string identity = trim(node.ssh_identity_file);
  if (!identity.empty()) command += " -i " + shell_quote(identity);
  command += " " + shell_quote(trim(node.ssh_user) + "@" + trim(node.ssh_host)) + " ";
  return command;
}

bool remote_command_unknown(std::string_view output) {
  const std::string lower = ascii_lower(output);
  return lower.find("not recognized") != std::string::npos ||
         lower.find("command not found") != std::string::npos ||
         lower.find("unknown command") != std::string::npos;
}

}  // namespace tessik
