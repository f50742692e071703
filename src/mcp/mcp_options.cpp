// Command line, environment and registry: the three places the MCP server's identity comes
// from, reduced to one sender text that the send pipeline resolves like any other.
#include "mcp/mcp_options.h"

#include <cstdlib>
#include <utility>

#include "base/text.h"
#include "registry/normalization.h"
#include "registry/sender_resolution.h"

namespace tessik {
namespace {

struct OptionSlot {
  const char* flag;
  const char* variable;
  std::string McpServerOptions::* field;
};

constexpr OptionSlot kSlots[] = {
    {"--host", "TESSIK_MCP_HOST", &McpServerOptions::host},
    {"--provider", "TESSIK_MCP_PROVIDER", &McpServerOptions::provider},
    {"--provider-session-id", "TESSIK_PROVIDER_SESSION_ID",
     &McpServerOptions::provider_session_id},
    {"--sender-name", "TESSIK_SENDER_NAME", &McpServerOptions::sender_name},
    {nullptr, "TESSIK_MCP_READY_FILE", &McpServerOptions::ready_file},
};

const OptionSlot* find_flag(std::string_view flag) {
  for (const OptionSlot& slot : kSlots) {
    if (slot.flag != nullptr && flag == slot.flag) return &slot;
  }
  return nullptr;
}

}  // namespace

std::optional<std::string> process_environment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

std::optional<McpServerOptions> parse_mcp_server_options(const std::vector<std::string>& args,
                                                         const EnvironmentLookup& environment,
                                                         std::string& error) {
  McpServerOptions options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const OptionSlot* slot = find_flag(args[i]);
    if (slot == nullptr) {
      error = "unknown option " + args[i];
      return std::nullopt;
    }
    if (i + 1 >= args.size()) {
      error = "option " + args[i] + " needs a value";
      return std::nullopt;
    }
    options.*(slot->field) = trim(args[++i]);
  }
  for (const OptionSlot& slot : kSlots) {
    std::string& value = options.*(slot.field);
    if (!value.empty()) continue;
    if (std::optional<std::string> from_environment = environment(slot.variable)) {
      value = trim(*from_environment);
    }
  }
  return options;
}

McpSenderIdentity resolve_mcp_sender(const Registry& registry, const McpServerOptions& options) {
  McpSenderIdentity identity;
  if (!options.provider_session_id.empty()) {
    std::optional<AgentRecord> row =
        find_sender_record(registry, "local", options.provider_session_id);
    const bool same_provider =
        row && (options.provider.empty() ||
                canonical_provider_key(row->provider) == canonical_provider_key(options.provider));
    if (same_provider && matches_sender_session(*row, options.provider_session_id)) {
      identity.row = std::move(row);
      identity.from = options.provider_session_id;
      return identity;
    }
  }
  identity.from =
      options.sender_name.empty() ? options.provider_session_id : options.sender_name;
  return identity;
}

}  // namespace tessik
