// The command file this system drops for the Cursor bridge extension, rendered as text with
// its keys in the order the extension expects.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tessik {

struct CursorBridgeCommand {
  std::string command_id;
  std::string operation;
  std::string provider_session_id;
  std::string cursor_composer_id;
  std::string target_agent;
  std::string target_bridge_id;
  std::string target_workspace_name;
  std::string target_workspace_uri;
  std::string target_bridge_reason;
  std::string requested_name;
  std::int64_t correlation_timeout_ms = 0;
  std::string requested_delivery_method;
  std::string message_role;
  std::string correlation_code;
  std::string message;
  std::vector<std::string> delivery_methods;
  std::int64_t timeout_ms = 0;
  std::int64_t created_at_unix_ms = 0;
  std::int64_t expires_at_unix_ms = 0;
  std::string created_at;  // UTC text
};

// Schema version 2: one key per line, two-space indentation, string values JSON-escaped,
// the delivery methods one per line with four-space indentation; status "queued".
std::string render_cursor_bridge_command(const CursorBridgeCommand& command);

}  // namespace tessik
