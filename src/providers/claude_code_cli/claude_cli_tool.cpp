// Locating the Claude Code CLI and probing its help text for the options the adapter uses.
#include "providers/claude_code_cli/claude_cli_tool.h"

#include "platform/bounded_process.h"
#include "providers/provider_tools.h"

namespace tessik {

std::filesystem::path locate_claude_executable() {
  const ProviderToolLocation location = locate_provider_tool("claude_code_cli");
  return location.found ? location.path : std::filesystem::path();
}

std::string claude_not_found_evidence() {
  return "checked=" + (user_home_directory() / ".local" / "bin" / "claude").string() +
         " and PATH";
}

std::string ClaudeCapabilities::summary() const {
  return "help_exit_code=" + std::to_string(help_exit_code) +
         " strict_mcp_config=" + (strict_mcp_config ? "true" : "false") +
         " session_name=" + (session_name ? "true" : "false");
}

ClaudeCapabilities capabilities_from_help(std::int32_t exit_code, std::string_view help_text) {
  ClaudeCapabilities capabilities;
  capabilities.help_exit_code = exit_code;
  capabilities.strict_mcp_config = help_text.find("--strict-mcp-config") != std::string_view::npos;
  capabilities.session_name = help_text.find("--name <name>") != std::string_view::npos;
  return capabilities;
}

ClaudeCapabilities probe_claude_capabilities(const std::filesystem::path& executable,
                                             std::int64_t timeout_ms) {
  platform::BoundedProcessOptions options =
      platform::make_bounded_options(executable, {"--help"}, timeout_ms);
  const platform::BoundedProcessResult run = platform::run_bounded_process(options);
  return capabilities_from_help(run.exit_code, run.output);
}

}  // namespace tessik
