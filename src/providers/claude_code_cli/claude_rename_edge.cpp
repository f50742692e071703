// Rename edge: resume the session with only the native name option (no prompt reaches the
// assistant) and read the new title back from the transcript.
#include "base/text.h"
#include "providers/claude_code_cli/claude_cli_tool.h"
#include "providers/claude_code_cli/claude_code_cli_adapter.h"
#include "providers/claude_code_cli/claude_edge_support.h"

namespace tessik {
namespace {

constexpr char kRenameMethod[] = "claude_cli_resume_name_flag_no_prompt";

RenameResult failed(const RenameRequest& request, std::string error, std::string evidence) {
  RenameResult result;
  result.provider = request.target.provider;
  result.state = "failed";
  result.method = kRenameMethod;
  result.requested_name = trim(request.requested_name);
  result.error = std::move(error);
  result.evidence = std::move(evidence);
  return result;
}

RenameResult failed(const RenameRequest& request, const ClaudeEdgeFailure& failure) {
  return failed(request, failure.error, failure.evidence);
}

}  // namespace

RenameResult rename_claude_code_cli_session(const RenameRequest& request,
                                            const ClaudeCliSettings& settings) {
  const std::string new_name = trim(request.requested_name);
  if (new_name.empty()) return failed(request, "new Claude CLI session name was empty", "");
  ClaudeResumeTarget target;
  if (auto failure = parse_session_uuid(request.target.provider_session_id, target.uuid))
    return failed(request, *failure);
  if (auto failure = locate_executable(target.executable)) return failed(request, *failure);
  const ClaudeCapabilities capabilities =
      probe_claude_capabilities(target.executable, settings.probe_timeout_ms);
  const std::string tool = "claude=" + target.executable.string() +
                           " capabilities=" + capabilities.summary();
  if (!capabilities.session_name) {
    return failed(request, "installed Claude CLI does not expose the native --name session option",
                  tool);
  }
  if (auto failure = locate_transcript_and_cwd(target)) return failed(request, *failure);

  const platform::BoundedProcessResult run = platform::run_bounded_process(claude_run_options(
      target.executable,
      {"-p", "--output-format", "json", "--resume", target.uuid, "--name", new_name}, target.cwd,
      settings.rename_timeout_ms));
  const ClaudeTranscript facts = read_claude_transcript(target.transcript, target.uuid);

  // The session ran with the name option: the provider took the rename, proven or not.
  RenameResult result;
  result.provider = request.target.provider;
  result.accepted = true;
  result.method = kRenameMethod;
  result.requested_name = new_name;
  result.provider_title = facts.title;
  const std::string where = tool + " cwd=" + target.cwd + " jsonl=" + target.transcript.string();
  if (facts.has_title && facts.title == new_name) {
    result.state = "renamed_session";
    result.verification_state = "verified";
    result.method = "renamed_claude_cli_native_name_flag";
    result.evidence = where + " provider_title_verified=true no_chat_prompt_sent=true";
    return result;
  }
  result.state = "unverified";
  result.verification_state = "unverified";
  result.error = "Claude CLI did not persist the requested session name";
  result.evidence = where + " last_provider_title=" + facts.title +
                    " process_timed_out=" + bool_word(run.timed_out) +
                    " process_exit_code=" + std::to_string(run.exit_code);
  return result;
}

}  // namespace tessik
