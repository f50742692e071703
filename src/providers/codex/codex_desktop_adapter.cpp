// Codex desktop delivery: probe the thread's owner, submit the turn, and when that fails nudge
// the application to load the thread, wait for an owner, and submit once more.
#include "providers/codex/codex_desktop_adapter.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "base/random.h"
#include "base/text.h"
#include "platform/pipe_directory.h"
#include "state/evidence_log.h"
#include "state/state_dir.h"

namespace tessik {
namespace {

constexpr std::int64_t kNsPerMs = 1'000'000;

// One delivery's fixed inputs, resolved once.
struct CodexSend {
  const CodexDesktopOptions& options;
  std::filesystem::path pipe;
  CodexTurnInput input;
};

DeliveryResult accepted(DeliveryResult result, const std::string& attempt, std::string evidence) {
  result.state = "accepted_by_provider";
  result.accepted = true;
  result.method = "codex_desktop_ipc_" + attempt;
  result.evidence = std::move(evidence);
  result.error.clear();
  return result;
}

std::string gate_bypass(const CodexOwnerProbe& probe) {
  if (probe.result == "owner_found") return {};
  return " owner_probe_gate=bypassed_by_accepted_desktop_ipc_send owner_error=" + probe.error;
}

// Opens codex://threads/<id> so that the application loads the thread into a window.
// Returns "opened" or the opener's failure text.
std::string nudge_thread(const CodexSend& send) {
  const std::string uri = "codex://threads/" + send.input.thread_id;
  const std::filesystem::path log =
      send.options.evidence_log.empty() ? delivery_log_path() : send.options.evidence_log;
  EvidenceLog(log).append(
      "codex_thread_refresh_started",
      {{"provider", "codex"}, {"thread_id", send.input.thread_id}, {"uri", uri}});
  const platform::UriOpenResult opened =
      send.options.open_uri ? send.options.open_uri(uri) : platform::open_uri(uri);
  return opened.opened ? "opened" : opened.error;
}

// Re-probes every interval until an owner appears or the hydration window closes.
CodexOwnerProbe wait_for_owner(const CodexSend& send) {
  const std::int64_t deadline = monotonic_now_ns() + send.options.hydration_window_ms * kNsPerMs;
  for (;;) {
    CodexOwnerProbe probe =
        probe_codex_owner(send.pipe, send.input.thread_id, send.options.timings);
    const std::int64_t left_ns = deadline - monotonic_now_ns();
    if (probe.result == "owner_found" || left_ns <= 0) {
      if (probe.result != "owner_found") probe.result = "owner_missing";
      return probe;
    }
    std::this_thread::sleep_for(
        std::chrono::nanoseconds(std::min(left_ns, send.options.reprobe_interval_ms * kNsPerMs)));
  }
}

DeliveryResult after_failed_send(DeliveryResult result, const CodexSend& send,
                                 const CodexOwnerProbe& initial, const CodexTurnSubmission& first) {
  const std::string& thread_id = send.input.thread_id;
  const std::string hydration = nudge_thread(send);
  if (hydration != "opened") {
    result.error = "Codex Desktop IPC owner not available and hydration nudge failed";
    result.evidence = "thread_id=" + thread_id + " first_send=" + first.attempt +
                      " first_send_error=" + first.error + " hydration=" + hydration +
                      " alternate_transport=disabled";
    return result;
  }
  const CodexOwnerProbe owner = wait_for_owner(send);
  const CodexTurnSubmission final_send =
      submit_codex_turn(send.pipe, send.input, send.options.timings);
  if (final_send.ok) {
    return accepted(std::move(result), final_send.attempt,
                    "thread_id=" + thread_id + " owner_probe=" + initial.result +
                        " hydration=opened post_hydration_owner=" + owner.result +
                        " send=" + final_send.attempt + gate_bypass(owner));
  }
  result.error = "Codex Desktop IPC owner unavailable and direct send failed";
  result.evidence = "thread_id=" + thread_id + " initial_owner_probe=" + initial.result +
                    " initial_owner_evidence=" + initial.evidence +
                    " initial_owner_error=" + initial.error + " first_send=" + first.attempt +
                    " first_send_error=" + first.error + " post_hydration_owner=" + owner.result +
                    " post_hydration_owner_evidence=" + owner.evidence +
                    " post_hydration_owner_error=" + owner.error +
                    " final_send=" + final_send.attempt + " final_send_error=" + final_send.error;
  if (!final_send.diagnostics.empty()) result.evidence += " " + final_send.diagnostics;
  return result;
}

}  // namespace

DeliveryResult deliver_to_codex_desktop(const DeliveryRequest& request,
                                        const CodexDesktopOptions& options) {
  DeliveryResult result;
  result.provider = request.target.provider;
  result.state = "failed";
  result.method = "codex_desktop_ipc";
  result.provider_session_id = request.target.provider_session_id;
  const std::string thread_id = trim(request.target.provider_session_id);
  if (thread_id.empty()) {
    result.error = "Codex target is missing provider_session_id";
    result.evidence = "provider=codex requires provider_session_id to be the Codex thread id";
    return result;
  }
  std::filesystem::path pipe = options.pipe;
  if (pipe.empty()) {
    try {
      pipe = platform::pipe_directory() / "codex-ipc";
    } catch (const std::exception& error) {
      result.error = "failed to connect to Codex Desktop IPC pipe";
      result.evidence = "thread_id=" + thread_id + " pipe_directory_error=" + error.what();
      return result;
    }
  }
  // A Codex row records no working directory of its thread; the delivering process's own
  // directory is what the restore message names as the workspace.
  std::error_code cwd_error;
  const std::filesystem::path cwd = std::filesystem::current_path(cwd_error);
  const std::string& name = request.target.display_name;
  const CodexSend send{
      options, pipe,
      CodexTurnInput{thread_id, request.final_visible_body, cwd.string(), random_uuid(),
                     request.message_id, name.empty() ? request.target.agent_id : name}};

  const CodexOwnerProbe probe = probe_codex_owner(pipe, thread_id, options.timings);
  const CodexTurnSubmission first = submit_codex_turn(pipe, send.input, options.timings);
  if (first.ok) {
    return accepted(std::move(result), first.attempt,
                    "thread_id=" + thread_id + " owner_probe=" + probe.result +
                        " send=" + first.attempt + gate_bypass(probe));
  }
  return after_failed_send(std::move(result), send, probe, first);
}

}  // namespace tessik
