// Who an MCP server speaks for: its command line and environment, merged, and the registry
// row that identity names.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "registry/agent_record.h"
#include "registry/registry.h"

namespace tessik {

// The identity an assistant's MCP configuration hands to `tessik mcp-server`.
struct McpServerOptions {
  std::string host;                 // the assistant surface, e.g. "claude-code-cli"
  std::string provider;             // provider key, e.g. "claude_code_cli"
  std::string provider_session_id;  // the session this server speaks for
  std::string sender_name;          // the name to send as when the session is not registered
  std::string ready_file;           // where to write the readiness marker; empty: nowhere
};

// Looks up one environment variable; nothing when unset.
using EnvironmentLookup = std::function<std::optional<std::string>(const char* name)>;

// The process environment, through std::getenv.
std::optional<std::string> process_environment(const char* name);

// Merges `args` (the words after "mcp-server": --host, --provider, --provider-session-id,
// --sender-name, each followed by a value) with the environment (TESSIK_MCP_HOST,
// TESSIK_MCP_PROVIDER, TESSIK_PROVIDER_SESSION_ID, TESSIK_SENDER_NAME, TESSIK_MCP_READY_FILE).
// A value given on the command line wins; the environment fills what the command line leaves
// out or leaves blank, because the command line is the more specific statement of the two.
// Values are trimmed. Nothing, with `error` set, for an unknown option or a missing value.
std::optional<McpServerOptions> parse_mcp_server_options(const std::vector<std::string>& args,
                                                         const EnvironmentLookup& environment,
                                                         std::string& error);

// The sender a server speaks as, as sender resolution sees it.
struct McpSenderIdentity {
  std::optional<AgentRecord> row;  // the registered row of the session, when there is one
  std::string from;                // the free-text sender its sends carry
};

// The enabled local row of the options' provider session (the provider must agree when
// given). Its session id is the sender then, so the message comes from that exact row;
// otherwise the sender name, and the bare session id when there is no name either.
// Throws RegistryError when the registry cannot be read.
McpSenderIdentity resolve_mcp_sender(const Registry& registry, const McpServerOptions& options);

}  // namespace tessik
