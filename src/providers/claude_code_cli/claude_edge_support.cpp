// The session lookup and run options shared by the Claude edges.
#include "providers/claude_code_cli/claude_edge_support.h"

#include <system_error>

#include "base/random.h"
#include "platform/executable_path.h"
#include "providers/claude_code_cli/claude_cli_tool.h"

namespace tessik {

std::optional<ClaudeEdgeFailure> parse_session_uuid(std::string_view provider_session_id,
                                                    std::string& uuid) {
  // Claude names sessions by UUID. Anything else would end up in file names and in the
  // command line ("--resume <value>"), where a path or an option word has no business.
  uuid = claude_session_uuid(provider_session_id);
  if (is_uuid_text(uuid)) return std::nullopt;
  uuid.clear();
  return ClaudeEdgeFailure{"Claude provider session id is missing claude_code_cli:session:<uuid>",
                           "provider_session_id=" + std::string(provider_session_id)};
}

std::optional<ClaudeEdgeFailure> locate_executable(std::filesystem::path& executable) {
  executable = locate_claude_executable();
  if (!executable.empty()) return std::nullopt;
  return ClaudeEdgeFailure{kClaudeNotFoundError, claude_not_found_evidence()};
}

std::optional<ClaudeEdgeFailure> locate_transcript_and_cwd(ClaudeResumeTarget& target) {
  target.transcript = find_claude_transcript(target.uuid);
  if (target.transcript.empty()) {
    return ClaudeEdgeFailure{"Claude JSONL session file was not found", "session_id=" + target.uuid};
  }
  target.cwd = read_claude_transcript(target.transcript, target.uuid).cwd;
  const std::string evidence = "jsonl=" + target.transcript.string() + " cwd=" + target.cwd;
  if (target.cwd.empty()) {
    return ClaudeEdgeFailure{
        "Claude JSONL session file does not include a cwd for documented CLI resume", evidence};
  }
  std::error_code ec;
  if (!std::filesystem::is_directory(target.cwd, ec)) {
    return ClaudeEdgeFailure{"Claude session cwd no longer exists", evidence};
  }
  return std::nullopt;
}

platform::BoundedProcessOptions claude_run_options(const std::filesystem::path& executable,
                                                   std::vector<std::string> arguments,
                                                   const std::string& cwd,
                                                   std::int64_t timeout_ms) {
  platform::BoundedProcessOptions options =
      platform::make_bounded_options(executable, std::move(arguments), timeout_ms);
  if (!cwd.empty()) options.working_directory = cwd;
  return options;
}

std::filesystem::path tessik_executable_for(const ClaudeCliSettings& settings) {
  if (!settings.tessik_executable.empty()) return settings.tessik_executable;
  return platform::current_executable_path();
}

}  // namespace tessik
