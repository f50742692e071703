// The three tools the MCP server offers an assistant: send a message (its reply) through the
// send pipeline, say who the server speaks for, and list the agents it can send to.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>
#include <vector>

#include "mcp/mcp_options.h"
#include "mcp/mcp_protocol.h"
#include "pipeline/pipeline_context.h"

namespace tessik {

inline constexpr char kSendMessageTool[] = "tessik_send_message";
inline constexpr char kWhoamiTool[] = "tessik_whoami";
inline constexpr char kListAgentsTool[] = "tessik_list_agents";

// The source context of a send whose sourceContext argument is blank.
inline constexpr char kMcpSourceContext[] = "mcp_server";

// Serves the tools for one identity. Every call reads the registry afresh, so a session
// enrolled after the server started is found. Pipeline refusals, bad arguments and registry
// failures are error results, never exceptions. Not thread-safe (one session, one thread).
class TessikTools : public McpToolHandler {
 public:
  TessikTools(McpServerOptions options, PipelineContext context)
      : options_(std::move(options)), context_(std::move(context)) {}

  std::vector<McpToolDescription> tools() const override;
  std::optional<McpToolResult> call(std::string_view name,
                                    const nlohmann::json& arguments) override;

 private:
  McpToolResult send_message_tool(const nlohmann::json& arguments);
  McpToolResult whoami() const;
  McpToolResult list_agents() const;

  McpServerOptions options_;
  PipelineContext context_;
};

}  // namespace tessik
