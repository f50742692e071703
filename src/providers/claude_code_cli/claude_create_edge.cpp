// Create edge: one Claude process gets a warm-up turn first; the real first message is held
// back until the transcript shows that turn completed and the Tessik MCP server reported its
// tools listed, so the assistant can answer the real message through the send tool.
#include <chrono>
#include <system_error>

#include "base/random.h"
#include "base/text.h"
#include "providers/claude_code_cli/claude_cli_tool.h"
#include "providers/claude_code_cli/claude_code_cli_adapter.h"
#include "providers/claude_code_cli/claude_edge_support.h"
#include "providers/claude_code_cli/claude_mcp_config.h"
#include "providers/claude_code_cli/claude_output.h"

namespace tessik {
namespace {

namespace fs = std::filesystem;

constexpr char kCreateMethod[] = "claude_cli_single_process_readiness_gate";
constexpr char kWarmUpText[] =
    "Hello, thank you for helping. I will send the actual question next. Stand by and do "
    "nothing.";
constexpr std::int64_t kGatePollIntervalMs = 100;

std::string user_line(std::string_view text) {
  return "{\"type\":\"user\",\"message\":{\"role\":\"user\",\"content\":[{\"type\":\"text\","
         "\"text\":\"" + json_escape(text) + "\"}]}}\n";
}

std::int64_t now_ms() { return monotonic_now_ns() / 1'000'000; }

// The readiness gate's view of the new session, updated at most every 100 ms from the
// runner's loop on the caller's thread.
struct ReadinessGate {
  std::string uuid;
  std::string provider_session_id;
  fs::path ready_marker;
  std::int64_t started_ms = 0;
  std::int64_t last_check_ms = -1;
  fs::path transcript;
  bool warmup_completed = false;
  bool tools_list_ready = false;
  bool opened = false;
  std::int64_t opened_after_ms = 0;

  bool check() {
    const std::int64_t now = now_ms();
    if (opened) return true;
    if (last_check_ms >= 0 && now - last_check_ms < kGatePollIntervalMs) return false;
    last_check_ms = now;
    if (transcript.empty()) transcript = find_claude_transcript(uuid);
    if (!transcript.empty() && !warmup_completed)
      warmup_completed = read_claude_transcript(transcript, uuid).completed_turn;
    if (!tools_list_ready)
      tools_list_ready = claude_readiness_marker_ready(ready_marker, provider_session_id);
    opened = warmup_completed && tools_list_ready;
    if (opened) opened_after_ms = now - started_ms;
    return opened;
  }
};

CreateResult failed(const CreateRequest& request, std::string correlation, std::string error,
                    std::string evidence) {
  CreateResult result;
  result.provider = kClaudeProviderKey;
  result.state = "failed";
  result.method = kCreateMethod;
  result.requested_name = trim(request.requested_name);
  result.correlation_state = std::move(correlation);
  result.error = std::move(error);
  result.evidence = std::move(evidence);
  return result;
}

std::vector<std::string> create_arguments(const std::string& uuid, const ClaudeMcpPaths& paths,
                                          const ClaudeCapabilities& capabilities,
                                          const std::string& display_name) {
  std::vector<std::string> arguments = {
      "-p",       "--input-format", "stream-json", "--output-format", "stream-json", "--verbose",
      "--session-id", uuid, "--mcp-config=" + paths.configuration.string(), kClaudeAllowedTools};
  if (capabilities.strict_mcp_config) arguments.emplace_back("--strict-mcp-config");
  if (capabilities.session_name) arguments.push_back("-n" + display_name);
  return arguments;
}

// The checks after the run, in their fixed order; nullopt when the session was created.
struct CreateRun {
  const CreateRequest& request;
  const ReadinessGate& gate;
  const platform::BoundedProcessResult& process;
  std::string base_evidence;  // claude=, mcp_config=, capabilities=, requested_session_id=

  std::optional<CreateResult> failure(const std::string& transcript_text) const {
    const std::string gate_words = std::string(" warmup_completed=") +
                                   bool_word(gate.warmup_completed) +
                                   " mcp_tools_list_ready=" + bool_word(gate.tools_list_ready);
    if (!gate.opened) {
      const bool timed_out = process.readiness_timed_out || process.timed_out;
      std::string evidence = base_evidence + gate_words;
      if (!process.error.empty()) evidence += " process_error=" + process.error;
      return failed(request, "readiness_not_reached",
                    timed_out ? "Claude CLI readiness gate timed out before the real message"
                              : "Claude CLI exited before the readiness gate opened",
                    evidence);
    }
    if (!process.deferred_input_written) {
      const std::string reason =
          process.error.empty() ? "the process ended before reading the message" : process.error;
      return failed(request, "real_message_not_sent",
                    "Claude CLI readiness gate opened but the real message could not be written",
                    base_evidence + " readiness_error=" + reason);
    }
    const std::string output = diagnostic_excerpt(process.output);
    if (process.exit_code != 0) {
      return failed(request, "provider_process_failed", "Claude CLI staged create command failed",
                    "exit_code=" + std::to_string(process.exit_code) + " " + base_evidence +
                        " process_error=" + process.error + " output=" + output);
    }
    if (find_claude_result(process.output).is_error) {
      return failed(request, "provider_error_response",
                    "Claude CLI reported an error during staged create",
                    base_evidence + " output=" + output);
    }
    if (claude_send_tool_called(process.output) || claude_send_tool_called(transcript_text))
      return std::nullopt;
    std::string error = "Claude completed the staged message without an Tessik MCP tool call";
    if (claude_mcp_not_ready(process.output) || claude_mcp_not_ready(transcript_text)) {
      error = "Claude Tessik MCP server became unavailable after the readiness gate";
    } else if (claude_refused(process.output) || claude_refused(transcript_text)) {
      error = "Claude refused the Tessik envelope instead of using the Tessik MCP tool";
    }
    return failed(request, "tessik_mcp_turn_not_proven", error,
                  base_evidence + " stream_output=" + output +
                      " transcript=" + diagnostic_excerpt(transcript_text));
  }
};

}  // namespace

CreateResult create_claude_code_cli_provider(const CreateRequest& request,
                                             const ClaudeCliSettings& settings) {
  const std::string initial_message = trim(request.initial_message);
  if (initial_message.empty()) {
    return failed(request, "unsupported_empty_initial_message",
                  "Claude CLI create requires an initial message",
                  "provider create uses claude -p and needs a durable first turn");
  }
  fs::path executable;
  if (auto failure = locate_executable(executable))
    return failed(request, "executable_not_found", failure->error, failure->evidence);
  const std::string uuid = random_uuid();
  std::error_code ec;
  if (!fs::is_directory(request.cwd, ec)) {
    return failed(request, "invalid_cwd", "Claude create cwd does not exist", "cwd=" + request.cwd);
  }
  const std::string display_name = claude_sender_name(request.requested_name, uuid);
  const ClaudeMcpPreparation mcp =
      prepare_claude_mcp_configuration(uuid, display_name, tessik_executable_for(settings));
  if (!mcp.ok()) {
    return failed(request, "mcp_config_failed", kClaudeMcpPreparationFailed,
                  "session_id=" + uuid + " error=" + mcp.error);
  }
  const ClaudeCapabilities capabilities =
      probe_claude_capabilities(executable, settings.probe_timeout_ms);

  ReadinessGate gate;
  gate.uuid = uuid;
  gate.provider_session_id = claude_provider_session_id(uuid);
  gate.ready_marker = mcp.paths.ready_marker;
  platform::BoundedProcessOptions options =
      claude_run_options(executable, create_arguments(uuid, mcp.paths, capabilities, display_name),
                         request.cwd, settings.create_timeout_ms);
  options.initial_input = user_line(kWarmUpText);
  options.deferred_input = user_line(initial_message);
  options.readiness_timeout_ms = settings.readiness_timeout_ms;
  options.readiness_predicate = [&gate](std::string_view) { return gate.check(); };
  gate.started_ms = now_ms();
  const platform::BoundedProcessResult process = platform::run_bounded_process(options);

  const fs::path transcript = gate.transcript.empty() ? find_claude_transcript(uuid) : gate.transcript;
  const std::string transcript_text = read_transcript_delta(transcript, 0);
  const CreateRun run{request, gate, process,
                      "claude=" + executable.string() + " mcp_config=" +
                          mcp.paths.configuration.string() + " capabilities=" +
                          capabilities.summary() + " requested_session_id=" + uuid};
  if (std::optional<CreateResult> failure = run.failure(transcript_text)) return *failure;

  const ClaudeTranscript facts = read_claude_transcript(transcript, uuid);
  CreateResult result;
  result.provider = kClaudeProviderKey;
  result.state = "created_session";
  result.accepted = true;
  result.initial_message_sent = true;
  result.method = "created_claude_cli_single_process_readiness_gate";
  result.requested_name = trim(request.requested_name);
  result.provider_session_id = gate.provider_session_id;
  if (facts.has_title) result.provider_title = facts.title;
  result.correlation_state = "requested_session_id";
  result.registry_display_name = facts.has_title ? facts.title : display_name;
  result.rename_recommended =
      !result.requested_name.empty() && result.provider_title != result.requested_name;
  result.evidence = run.base_evidence + " jsonl=" + transcript.string() +
                    " fixed_delay_ms=0 poll_start_delay_ms=0 poll_interval_ms=20"
                    " mcp_tools_list_ready=true readiness_marker=" +
                    mcp.paths.ready_marker.string() +
                    " warmup_completed=true readiness_elapsed_ms=" +
                    std::to_string(gate.opened_after_ms);
  return result;
}

}  // namespace tessik
