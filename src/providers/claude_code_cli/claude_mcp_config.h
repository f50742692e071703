// The per-session MCP configuration that makes Claude Code start the Tessik MCP server, and
// the readiness marker that server writes once Claude has listed its tools.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace tessik {

inline constexpr char kClaudeMcpPreparationFailed[] = "Claude MCP configuration preparation failed";

struct ClaudeMcpPaths {
  std::filesystem::path configuration;  // <state>/mcp/claude-code-cli-<uuid>.json
  std::filesystem::path ready_marker;   // <state>/mcp/claude-code-cli-<uuid>.ready.json
};
// Resolves the state directory; throws StateDirectoryError when it cannot.
ClaudeMcpPaths claude_mcp_paths(std::string_view uuid);

// The name the session's replies go out under: the trimmed `name`, else the fallback name.
std::string claude_sender_name(std::string_view name, std::string_view uuid);

// The configuration text, every inserted value JSON-escaped, one line per element.
std::string claude_mcp_configuration_text(const std::filesystem::path& tessik_executable,
                                          std::string_view provider_session_id,
                                          std::string_view sender_name,
                                          const std::filesystem::path& ready_marker);

struct ClaudeMcpPreparation {
  ClaudeMcpPaths paths;
  std::string error;  // the failing step's reason; empty on success
  bool ok() const { return error.empty(); }
};

// Writes the configuration for the session `uuid` beside a cleared readiness marker: write to
// "<configuration>.tmp", read it back, keep an existing configuration as
// "<configuration>.previous-<time>-<random>", swap the new one in atomically, then remove the
// session's older previous copies. Expected failures come back in `error`; throws StateDirectoryError when the state directory cannot
// be resolved.
ClaudeMcpPreparation prepare_claude_mcp_configuration(std::string_view uuid,
                                                      std::string_view sender_name,
                                                      const std::filesystem::path& tessik_executable);

// True when the marker at `path` is a JSON object with "state" "tools_list_ready", "provider"
// "claude_code_cli" and "provider_session_id" equal to `provider_session_id`.
bool claude_readiness_marker_ready(const std::filesystem::path& path,
                                   std::string_view provider_session_id);

}  // namespace tessik
