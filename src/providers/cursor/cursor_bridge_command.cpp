// Rendering of the bridge command file.
#include "providers/cursor/cursor_bridge_command.h"

#include "base/text.h"

namespace tessik {
namespace {

void add_text(std::string& out, const char* key, const std::string& value) {
  out += "  \"";
  out += key;
  out += "\": \"";
  append_json_escaped(out, value);
  out += "\",\n";
}

void add_number(std::string& out, const char* key, std::int64_t value) {
  out += "  \"";
  out += key;
  out += "\": " + std::to_string(value) + ",\n";
}

}  // namespace

std::string render_cursor_bridge_command(const CursorBridgeCommand& command) {
  std::string out = "{\n  \"schema_version\": 2,\n";
  add_text(out, "command_id", command.command_id);
  add_text(out, "provider", "cursor");
  add_text(out, "operation", command.operation);
  add_text(out, "provider_session_id", command.provider_session_id);
  add_text(out, "cursor_composer_id", command.cursor_composer_id);
  add_text(out, "target_agent", command.target_agent);
  add_text(out, "target_bridge_id", command.target_bridge_id);
  add_text(out, "target_workspace_name", command.target_workspace_name);
  add_text(out, "target_workspace_uri", command.target_workspace_uri);
  add_text(out, "target_bridge_reason", command.target_bridge_reason);
  add_text(out, "requested_name", command.requested_name);
  out += "  \"defer_initial_message_until_enrolled\": false,\n";
  add_number(out, "correlation_timeout_ms", command.correlation_timeout_ms);
  add_text(out, "requested_delivery_method", command.requested_delivery_method);
  add_text(out, "message_role", command.message_role);
  add_text(out, "correlation_code", command.correlation_code);
  add_text(out, "message", command.message);
  if (command.delivery_methods.empty()) {
    out += "  \"delivery_methods\": [],\n";
  } else {
    out += "  \"delivery_methods\": [\n";
    for (std::size_t i = 0; i < command.delivery_methods.size(); ++i) {
      out += "    \"" + json_escape(command.delivery_methods[i]) + "\"";
      out += i + 1 < command.delivery_methods.size() ? ",\n" : "\n";
    }
    out += "  ],\n";
  }
  add_number(out, "timeout_ms", command.timeout_ms);
  add_number(out, "created_at_unix_ms", command.created_at_unix_ms);
  add_number(out, "expires_at_unix_ms", command.expires_at_unix_ms);
  add_text(out, "status", "queued");
  out += "  \"created_at\": \"" + json_escape(command.created_at) + "\"\n}\n";
  return out;
}

}  // namespace tessik
