// Send edge: resume the target session with the final visible body as one prompt, and accept
// the delivery only when the assistant answered through the Tessik MCP send tool.
#include "base/text.h"
#include "providers/claude_code_cli/claude_cli_tool.h"
#include "providers/claude_code_cli/claude_code_cli_adapter.h"
#include "providers/claude_code_cli/claude_edge_support.h"
#include "providers/claude_code_cli/claude_mcp_config.h"
#include "providers/claude_code_cli/claude_output.h"

namespace tessik {
namespace {

constexpr char kSendMethod[] = "claude_cli_print_resume";

DeliveryResult failed(const DeliveryRequest& request, std::string error, std::string evidence) {
  DeliveryResult result;
  result.provider = request.target.provider;
  result.state = "failed";
  result.method = kSendMethod;
  result.provider_session_id = request.target.provider_session_id;
  result.display_name = request.target.display_name;
  result.error = std::move(error);
  result.evidence = std::move(evidence);
  return result;
}

DeliveryResult failed(const DeliveryRequest& request, const ClaudeEdgeFailure& failure) {
  return failed(request, failure.error, failure.evidence);
}

std::vector<std::string> resume_arguments(const ClaudeResumeTarget& target,
                                          const ClaudeMcpPaths& paths,
                                          const ClaudeCapabilities& capabilities,
                                          const std::string& body) {
  std::vector<std::string> arguments = {"-p",       "--output-format", "json",
                                        "--resume", target.uuid,
                                        "--mcp-config=" + paths.configuration.string(),
                                        kClaudeAllowedTools};
  if (capabilities.strict_mcp_config) arguments.emplace_back("--strict-mcp-config");
  arguments.push_back(body);
  return arguments;
}

std::string not_proven_error(std::string_view output, std::string_view delta) {
  if (claude_mcp_not_ready(output) || claude_mcp_not_ready(delta))
    return "Claude Tessik MCP server was not ready for the resumed turn";
  if (claude_refused(output) || claude_refused(delta))
    return "Claude refused the Tessik envelope instead of using the Tessik MCP tool";
  return "Claude completed the resumed turn without an Tessik MCP tool call";
}

}  // namespace

DeliveryResult deliver_to_claude_code_cli(const DeliveryRequest& request,
                                          const ClaudeCliSettings& settings) {
  ClaudeResumeTarget target;
  if (auto failure = parse_session_uuid(request.target.provider_session_id, target.uuid))
    return failed(request, *failure);
  if (auto failure = locate_executable(target.executable)) return failed(request, *failure);
  if (auto failure = locate_transcript_and_cwd(target)) return failed(request, *failure);

  const std::string sender_name = claude_sender_name(request.target.display_name, target.uuid);
  const ClaudeMcpPreparation mcp =
      prepare_claude_mcp_configuration(target.uuid, sender_name, tessik_executable_for(settings));
  if (!mcp.ok()) {
    return failed(request, kClaudeMcpPreparationFailed,
                  "session_id=" + target.uuid + " error=" + mcp.error);
  }
  const ClaudeCapabilities capabilities =
      probe_claude_capabilities(target.executable, settings.probe_timeout_ms);

  const std::uint64_t transcript_start = transcript_size(target.transcript);
  const platform::BoundedProcessResult run = platform::run_bounded_process(claude_run_options(
      target.executable,
      resume_arguments(target, mcp.paths, capabilities, request.final_visible_body), target.cwd,
      settings.send_timeout_ms));
  const std::string where = "claude=" + target.executable.string() + " cwd=" + target.cwd +
                            " jsonl=" + target.transcript.string();
  const std::string output = diagnostic_excerpt(run.output);

  if (run.exit_code != 0) {
    std::string evidence = "exit_code=" + std::to_string(run.exit_code) + " " + where +
                           " output=" + output;
    if (!run.error.empty()) evidence += " process_error=" + run.error;
    return failed(request, "Claude CLI resume command failed", evidence);
  }
  const ClaudeResultRecord record = find_claude_result(run.output);
  if (record.is_error) {
    return failed(request, "Claude CLI reported an error response", where + " output=" + output);
  }

  const std::string delta = read_transcript_delta(target.transcript, transcript_start);
  const std::string evidence = where + " mcp_config=" + mcp.paths.configuration.string() +
                               " capabilities=" + capabilities.summary() +
                               " resumed_session_id=" + target.uuid +
                               " response_session_id=" + record.session_id + " output=" + output;
  if (!claude_send_tool_called(run.output) && !claude_send_tool_called(delta)) {
    return failed(request, not_proven_error(run.output, delta),
                  evidence + " transcript_delta=" + diagnostic_excerpt(delta));
  }
  DeliveryResult result;
  result.provider = request.target.provider;
  result.state = "provider_write_succeeded";
  result.accepted = true;
  result.method = kSendMethod;
  result.provider_session_id = request.target.provider_session_id;
  result.display_name = request.target.display_name;
  result.evidence = evidence;
  return result;
}

}  // namespace tessik
