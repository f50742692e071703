// `tessik mcp-server`: wires the MCP server to stdin/stdout and to the send pipeline, whose
// accepted replies complete the A2A tasks they answer.
#include "app/mcp_server_command.h"

#include <cstdio>
#include <exception>
#include <iostream>

#include "a2a/tasks/task_replies.h"
#include "mcp/mcp_server.h"
#include "mcp/tessik_tools.h"

namespace tessik {

int run_mcp_server_command(const std::vector<std::string>& args) {
  std::string error;
  const std::optional<McpServerOptions> options =
      parse_mcp_server_options(args, process_environment, error);
  if (!options) {
    std::fprintf(stderr,
                 "tessik mcp-server: %s\nusage: tessik mcp-server [--host H] [--provider P]"
                 " [--provider-session-id ID] [--sender-name NAME]\n",
                 error.c_str());
    return 2;
  }
  try {
    TessikTools tools(*options, reply_completing_pipeline_context());
    // Unsynchronised streams read what a pipe holds instead of one byte per call.
    std::ios::sync_with_stdio(false);
    return serve_mcp(tools, *options, std::cin, std::cout, std::cerr);
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "tessik mcp-server: %s\n", failure.what());
    return 1;
  }
}

}  // namespace tessik
