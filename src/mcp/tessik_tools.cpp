// The tools' arguments, their answers and the send that the send tool makes. Answers are
// plain text for the send (a model reads it) and JSON text for the two lookups (a model or a
// script parses them).
#include "mcp/tessik_tools.h"

#include <exception>

#include "base/text.h"
#include "pipeline/send_pipeline.h"
#include "registry/normalization.h"

namespace tessik {
namespace {

using nlohmann::json;

std::string dump(const json& document) {
  return document.dump(2, ' ', false, json::error_handler_t::replace);
}

json string_property(const char* description) {
  return {{"type", "string"}, {"description", description}};
}

json agent_summary(const AgentRecord& row) {
  return {{"name", row.display_name},
          {"id", row.agent_id},
          {"publicAgentId", row.public_agent_id},
          {"provider", row.provider},
          {"providerSessionId", row.provider_session_id},
          {"node", row.node_id.empty() ? std::string("local") : row.node_id},
          {"status", row.delivery_binding_verified || is_builtin_mailbox(row) ? "verified"
                                                                              : "unverified"}};
}

bool is_sendable(const AgentRecord& row) {
  return row.enabled && row.sendable && is_agent_deliverable(row);
}

// Takes the string member `key` into `into`; false when it is present but not a string, or
// absent while required.
bool take_string(const json& arguments, const char* key, bool required, std::string& into) {
  const auto found = arguments.find(key);
  if (found == arguments.end() || found->is_null()) return !required;
  if (!found->is_string()) return false;
  into = found->get<std::string>();
  return true;
}

McpToolResult error_result(std::string text) {
  return {std::move(text), true};
}

}  // namespace

std::vector<McpToolDescription> TessikTools::tools() const {
  return {
      {kSendMessageTool, "Send a Tessik message",
       "Sends a message (usually your reply to a Tessik message) to another agent through "
       "Tessik. Use the \"to\" and \"sourceContext\" values given in the message you answer.",
       {{"type", "object"},
        {"properties",
         {{"to", string_property("The recipient: its provider session id, agent id or name.")},
          {"body", string_property("The complete message text, sent exactly as given.")},
          {"sourceContext",
           string_property("The operation the message answers, e.g. "
                           "\"tessik-operation:<message id>\".")}}},
        {"required", json::array({"to", "body"})}}},
      {kWhoamiTool, "Who am I in Tessik",
       "Tells which Tessik agent this session sends as, with its registry entry when it has one.",
       {{"type", "object"}, {"properties", json::object()}}},
      {kListAgentsTool, "List Tessik agents",
       "Lists the agents Tessik can deliver messages to: name, id, provider and status.",
       {{"type", "object"}, {"properties", json::object()}}},
  };
}

std::optional<McpToolResult> TessikTools::call(std::string_view name, const json& arguments) {
  try {
    if (name == kSendMessageTool) return send_message_tool(arguments);
    if (name == kWhoamiTool) return whoami();
    if (name == kListAgentsTool) return list_agents();
  } catch (const std::exception& failure) {
    return error_result(std::string("Tessik could not serve ") + std::string(name) + ": " +
                        failure.what());
  }
  return std::nullopt;
}

McpToolResult TessikTools::send_message_tool(const json& arguments) {
  SendRequest request;
  std::string source_context;
  if (!take_string(arguments, "to", true, request.target) ||
      !take_string(arguments, "body", true, request.body) ||
      !take_string(arguments, "sourceContext", false, source_context)) {
    return error_result(std::string(kSendMessageTool) +
                        " needs string arguments \"to\" and \"body\" (and optionally "
                        "\"sourceContext\")");
  }
  request.source_context = trim(source_context);
  if (request.source_context.empty()) request.source_context = kMcpSourceContext;
  request.from = resolve_mcp_sender(context_.registry, options_).from;
  request.from_node = "local";
  const SendOutcome outcome = send_message(context_, request);
  if (!outcome.accepted) {
    return error_result("Refused by Tessik: " + outcome.error +
                        " (message_id=" + outcome.message_id + ")");
  }
  return {"Accepted by Tessik: message_id=" + outcome.message_id + " target=" + outcome.target +
              " provider=" + outcome.provider + " status=" + outcome.status +
              " detail=" + outcome.detail +
              ". Tessik holds the message; delivery continues in the background.",
          false};
}

McpToolResult TessikTools::whoami() const {
  const McpSenderIdentity identity = resolve_mcp_sender(context_.registry, options_);
  json answer = {{"host", options_.host},
                 {"provider", options_.provider},
                 {"providerSessionId", options_.provider_session_id},
                 {"senderName", options_.sender_name},
                 {"sendsAs", identity.from},
                 {"registered", identity.row.has_value()}};
  if (identity.row) answer["agent"] = agent_summary(*identity.row);
  return {dump(answer), false};
}

McpToolResult TessikTools::list_agents() const {
  const McpSenderIdentity identity = resolve_mcp_sender(context_.registry, options_);
  json agents = json::array();
  for (const AgentRecord& row : load_registry(context_.registry)) {
    if (!is_sendable(row)) continue;
    json summary = agent_summary(row);
    summary["self"] = identity.row && identity.row->agent_id == row.agent_id;
    agents.push_back(std::move(summary));
  }
  return {dump({{"agents", std::move(agents)}}), false};
}

}  // namespace tessik
