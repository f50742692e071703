// The "mcp-server" command mode: the MCP server an assistant starts over stdio.
#pragma once

#include <string>
#include <vector>

namespace tessik {

// `args` are the words after "mcp-server": [--host H] [--provider P] [--provider-session-id ID]
// [--sender-name NAME], with the TESSIK_MCP_* environment filling what they leave out. Serves
// stdin/stdout until stdin ends and returns 0; 2 for bad arguments, 1 when the state directory
// cannot be used.
int run_mcp_server_command(const std::vector<std::string>& args);

}  // namespace tessik
