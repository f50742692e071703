// The Claude Code CLI adapter: send by resuming a session with one prompt, create behind a
// readiness gate, rename with the native name option. Each edge runs the assistant as one
// bounded child process and proves its outcome from the session's own transcript.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>

#include "providers/provider_adapter.h"
#include "providers/provider_edge_types.h"

namespace tessik {

// Time limits and the program the MCP configuration starts. The defaults are the product's;
// tests pass shorter limits and the path of the built executable.
struct ClaudeCliSettings {
  std::int64_t send_timeout_ms = 600000;
  std::int64_t create_timeout_ms = 180000;
  std::int64_t readiness_timeout_ms = 30000;
  std::int64_t rename_timeout_ms = 30000;
  std::int64_t probe_timeout_ms = 30000;
  // The Tessik executable whose "mcp-server" mode Claude starts; empty: this running program.
  std::filesystem::path tessik_executable;
};

// Send edge, method "claude_cli_print_resume": state "provider_write_succeeded" only when the
// turn's output or transcript delta shows the send tool being called.
DeliveryResult deliver_to_claude_code_cli(const DeliveryRequest& request,
                                          const ClaudeCliSettings& settings = {});

// Create edge, method "claude_cli_single_process_readiness_gate": a new session whose real
// first message is written only once the warm-up turn completed and the MCP server is ready.
CreateResult create_claude_code_cli_provider(const CreateRequest& request,
                                             const ClaudeCliSettings& settings = {});

// Rename edge, method "claude_cli_resume_name_flag_no_prompt": sets the native session name
// without a prompt and reads it back from the transcript.
RenameResult rename_claude_code_cli_session(const RenameRequest& request,
                                            const ClaudeCliSettings& settings = {});

// The adapter of the adapter table, with the default settings. Stateless and thread-safe;
// every call blocks until its child process has ended or been stopped.
std::unique_ptr<ProviderAdapter> make_claude_code_cli_adapter();

}  // namespace tessik
