// The installed Claude Code CLI: where its executable is and which options it offers.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace tessik {

inline constexpr char kClaudeNotFoundError[] = "Claude CLI executable was not found";

// The first of $HOME/.local/bin/claude, the npm global bin/claude and claude on PATH that is
// an executable regular file; empty when none is. Reads the environment on every call.
std::filesystem::path locate_claude_executable();
// "checked=<home>/.local/bin/claude and PATH": what a failed search looked at.
std::string claude_not_found_evidence();

struct ClaudeCapabilities {
  std::int32_t help_exit_code = -1;
  bool strict_mcp_config = false;  // "--strict-mcp-config" is offered
  bool session_name = false;       // "--name <name>" is offered
  // "help_exit_code=<code> strict_mcp_config=<bool> session_name=<bool>"
  std::string summary() const;
};

// Capabilities as read from the help text (the whole captured output).
ClaudeCapabilities capabilities_from_help(std::int32_t exit_code, std::string_view help_text);

// Runs `claude --help` as a bounded process of at most `timeout_ms` and reads its output.
// A run that fails leaves both capabilities off.
ClaudeCapabilities probe_claude_capabilities(const std::filesystem::path& executable,
                                             std::int64_t timeout_ms);

}  // namespace tessik
