// The SSH transports: A2A JSON-RPC over "tessik a2a-relay-session --stdio" and the legacy
// relay session "tessik relay-session --stdio", both fed from a private temporary file.
#include <filesystem>
#include <optional>

#include "base/random.h"
#include "base/text.h"
#include "platform/bounded_process.h"
#include "platform/durable_file.h"
#include "platform/temp_directory.h"
#include "providers/remote/remote_messages.h"
#include "providers/remote/remote_transports.h"

namespace tessik {
namespace {

UpstreamMessageHandler& upstream_handler() {
  static UpstreamMessageHandler handler;
  return handler;
}

RemoteSshTimeouts& timeouts_in_force() {
  static RemoteSshTimeouts timeouts;
  return timeouts;
}

// Writes `content` to a new owner-only file in the temporary directory; nothing on failure.
std::optional<std::filesystem::path> write_input_file(const std::string& name,
                                                      const std::string& content) {
  const std::filesystem::path path = platform::user_temp_directory() / name;
  int error = 0;
  const platform::FileHandle handle = platform::create_new_file(path, 0600, error);
  if (handle == platform::kInvalidFileHandle) return std::nullopt;
  const bool written = platform::write_all(handle, content, error);
  const bool closed = platform::close_file(handle, error);
  if (written && closed) return path;
  platform::remove_file_quietly(path);
  return std::nullopt;
}

RemoteAttempt failed(const RemoteCall& call, RemoteTransport transport, std::string error,
                     std::string evidence = {}) {
  return remote_attempt_failed(call, remote_transport_method(transport), std::move(error),
                               std::move(evidence));
}

// Runs "<ssh prefix><remote command> < input 2>&1" and removes the input file.
platform::BoundedProcessResult run_ssh_with_input(const std::string& prefix,
                                                  const std::string& remote_command,
                                                  const std::filesystem::path& input,
                                                  std::int64_t timeout_ms) {
  const std::string command =
      prefix + remote_command + " < " + shell_quote(input.string()) + " 2>&1";
  platform::BoundedProcessResult run = run_ssh_command(command, timeout_ms);
  platform::remove_file_quietly(input);
  return run;
}

// The exit code is the whole message (a hang stopped by the time-out reads as the runner's
// 1460); the runner's own words, when it has any, go into the evidence.
std::string ssh_failure(std::string_view what, const platform::BoundedProcessResult& run) {
  return std::string(what) + " failed with exit code " + std::to_string(run.exit_code);
}

std::string run_evidence(const platform::BoundedProcessResult& run) {
  std::string text = " exit_code=" + std::to_string(run.exit_code);
  if (!run.error.empty()) text += " run_error=" + run.error;
  return text + " output=" + diagnostic_excerpt(run.output);
}

}  // namespace

void set_upstream_message_handler(UpstreamMessageHandler handler) {
  upstream_handler() = std::move(handler);
}

const RemoteSshTimeouts& ssh_timeouts() { return timeouts_in_force(); }

void set_ssh_timeouts(const RemoteSshTimeouts& timeouts) { timeouts_in_force() = timeouts; }

platform::BoundedProcessResult run_ssh_command(const std::string& command,
                                               std::int64_t timeout_ms) {
  platform::BoundedProcessOptions options =
      platform::make_bounded_options("/bin/sh", {"-c", command}, timeout_ms);
  options.self_launch_allowed = false;
  return platform::run_bounded_process(options);
}

RemoteAttempt send_a2a_ssh(const RemoteCall& call) {
  constexpr RemoteTransport kSelf = RemoteTransport::a2a_ssh;
  const NodeRecord& node = call.node;
  if (trim(node.ssh_host).empty() || trim(node.ssh_user).empty()) {
    return failed(call, kSelf, "remote node is missing host or ssh_user for A2A-over-SSH");
  }
  const std::string rpc_id = random_hex_token();
  const auto input =
      write_input_file("tessik-a2a-ssh-" + rpc_id + ".jsonl",
                       remote_send_message_request(call.request, call.remote_target,
                                                   node.node_id, rpc_id) + "\n");
  if (!input) return failed(call, kSelf, "could not create temporary A2A-over-SSH input file");
  ExternalSendTask task = external_send_task(call.request);
  record_external_send_started(task, "ssh://" + trim(node.ssh_host));
  const platform::BoundedProcessResult run = run_ssh_with_input(
      ssh_command_prefix(node, 10), "tessik a2a-relay-session --stdio", *input,
      ssh_timeouts().a2a_ssh_ms);
  const std::string evidence = "endpoint=ssh://" + trim(node.ssh_host) + run_evidence(run);
  const JsonRpcAnswer answer = read_json_rpc_answer(run.output);
  RemoteAttempt attempt;
  if (run.exit_code != 0 || run.timed_out) {
    attempt = failed(call, kSelf, ssh_failure("A2A-over-SSH", run), evidence);
    attempt.fallback_safe = remote_command_unknown(run.output);
  } else if (!answer.found) {
    attempt = failed(call, kSelf, "A2A-over-SSH returned no JSON-RPC response", evidence);
  } else if (!answer.accepted) {
    attempt = failed(call, kSelf, "A2A-over-SSH request failed: " + answer.error, evidence);
  } else {
    attempt = remote_attempt_accepted(call, remote_transport_method(kSelf),
                                      evidence + " remote_task_id=" + answer.task_id +
                                          " remote_task_state=" + answer.task_state);
  }
  const bool exchanged = run.exit_code == 0 && !run.timed_out && answer.found;
  const ExternalSendEvent outcome =
      exchanged ? external_task_outcome(HttpResponse{200, answer.line, ""}, true)
          : ExternalSendEvent{"TASK_STATE_FAILED", "TESSIK_EXTERNAL_A2A_HTTP_ERROR",
                              attempt.result.error};
  record_external_send_answer(task, outcome,
                              "External A2A over SSH exit code " + std::to_string(run.exit_code) +
                                  " body=" + recorded_response_body(answer.line));
  attempt.task = std::move(task);
  return attempt;
}

RemoteAttempt send_legacy_ssh(const RemoteCall& call) {
  constexpr RemoteTransport kSelf = RemoteTransport::legacy_ssh;
  const NodeRecord& node = call.node;
  if (trim(node.ssh_host).empty() || trim(node.ssh_user).empty()) {
    return failed(call, kSelf, "remote node is missing host or ssh_user: " + node.node_id,
                  "node registry row is incomplete");
  }
  const std::string request_id = random_hex_token();
  const auto input =
      write_input_file("tessik-relay-" + request_id + ".jsonl",
                       relay_session_input(call.request, call.remote_target, request_id));
  if (!input) return failed(call, kSelf, "could not create temporary relay input file");
  const platform::BoundedProcessResult run = run_ssh_with_input(
      ssh_command_prefix(node, 100), "tessik relay-session --stdio", *input,
      ssh_timeouts().relay_session_ms);
  return read_relay_output(call, run);
}

RemoteAttempt read_relay_output(const RemoteCall& call, const platform::BoundedProcessResult& run) {
  constexpr RemoteTransport kSelf = RemoteTransport::legacy_ssh;
  std::string evidence = "endpoint=ssh://" + trim(call.node.ssh_host);
  std::optional<RelayAnswer> outcome;
  std::size_t start = 0;
  while (start < run.output.size()) {
    std::size_t end = run.output.find('\n', start);
    if (end == std::string::npos) end = run.output.size();
    std::optional<RelayAnswer> answer =
        parse_relay_answer(std::string_view(run.output).substr(start, end - start));
    start = end + 1;
    if (!answer) continue;
    if (answer->type == "upstream_message") {
      const UpstreamMessage message{answer->message_id, answer->target, answer->body,
                                    answer->from, answer->from_node, call.node.node_id};
      const std::string taken = upstream_handler() ? upstream_handler()(message)
                                                   : std::string("no_local_pipeline");
      evidence += " upstream_message_id=" + answer->message_id + " upstream=" + taken;
    } else if (!outcome) {
      outcome = std::move(answer);
    }
  }
  if (!outcome) {
    RemoteAttempt attempt = failed(call, kSelf, run.exit_code == 0
                                                    ? "relay session returned no deliver_result"
                                                    : ssh_failure("relay session", run),
                                   evidence + run_evidence(run));
    attempt.fallback_safe = remote_command_unknown(run.output);
    return attempt;
  }
  if (outcome->type == "error" || !outcome->accepted) {
    const std::string error = outcome->error.empty() ? "remote delivery was not accepted"
                                                     : outcome->error;
    return failed(call, kSelf, error,
                  evidence + " exit_code=" + std::to_string(run.exit_code) +
                      " remote_state=" + outcome->state);
  }
  return remote_attempt_accepted(call, remote_transport_method(kSelf),
                                 evidence + " exit_code=" + std::to_string(run.exit_code) +
                                     " remote_state=" + outcome->state +
                                     " remote_method=" + outcome->method);
}

}  // namespace tessik
