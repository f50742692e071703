// Reading what a Claude Code CLI run produced: its result record, whether the Tessik MCP
// server was ready, whether the assistant refused, and whether it called the send tool.
#pragma once

#include <string>
#include <string_view>

namespace tessik {

// The allowed-tools argument every Claude run gets.
inline constexpr char kClaudeAllowedTools[] =
    "--allowedTools=mcp__tessik__tessik_send_message,mcp__tessik__tessik_whoami,"
    "mcp__tessik__tessik_list_agents";

// Case-insensitive: "pendingMcpServers" followed by a bracketed list naming tessik, or the
// "mcp server tessik is unavailable"/"... is disconnected" notices.
bool claude_mcp_not_ready(std::string_view text);
// Case-insensitive: "prompt injection", "cannot comply" or "can't comply".
bool claude_refused(std::string_view text);
// Some line of `text` is a JSON document holding a "tool_use" whose name is one of the send
// tool's names, at any level of nesting (transcript records nest it in message content).
bool claude_send_tool_called(std::string_view text);

// The run's result record: the whole output as one JSON object, else the last line that is a
// JSON object with "type":"result", "is_error" or "session_id".
struct ClaudeResultRecord {
  bool found = false;
  bool is_error = false;
  std::string session_id;
};
ClaudeResultRecord find_claude_result(std::string_view output);

}  // namespace tessik
