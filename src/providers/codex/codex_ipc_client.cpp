// The Codex desktop IPC exchange loop and the client operations built on it.
#include "providers/codex/codex_ipc_client.h"

#include <nlohmann/json.hpp>
#include <optional>
#include <utility>

#include "base/json_depth.h"
#include "base/random.h"
#include "base/text.h"
#include "providers/codex/codex_ipc_frames.h"

namespace tessik {
namespace {

constexpr std::int64_t kNsPerMs = 1'000'000;

CodexExchangeResult exchange_failure(std::string error, std::string kind) {
  return {false, std::move(error), std::move(kind)};
}

// The error text a failed response carries: "error" as text, or its "message", else the
// whole "error" value, else the "result"'s "message".
std::string response_error_text(const nlohmann::json& response) {
  const auto error = response.find("error");
  if (error != response.end()) {
    if (error->is_string()) return error->get<std::string>();
    if (error->is_object()) {
      const auto message = error->find("message");
      if (message != error->end() && message->is_string()) return message->get<std::string>();
    }
    if (!error->is_null()) return error->dump();
  }
  return "no error text";
}

std::optional<std::string> text_member(const nlohmann::json& frame, const char* key) {
  const auto found = frame.find(key);
  if (found == frame.end() || !found->is_string()) return std::nullopt;
  return found->get<std::string>();
}

// The verdict of the response to our request.
CodexExchangeResult judge_response(const nlohmann::json& response, const std::string& method) {
  const std::optional<std::string> result_type = text_member(response, "resultType");
  if (result_type && ascii_lower(trim(*result_type)) == "success") return {true, "", ""};
  return exchange_failure("Codex Desktop IPC returned " +
                              (result_type ? trim(*result_type) : std::string("unknown")) +
                              " for " + method + ": " + response_error_text(response),
                          "error_response");
}

}  // namespace

CodexExchangeResult codex_ipc_exchange(platform::LocalConnection& connection,
                                       const std::string& request, const std::string& request_id,
                                       const std::string& method, std::int64_t timeout_ms) {
  const std::int64_t deadline = monotonic_now_ns() + timeout_ms * kNsPerMs;
  std::string written = write_codex_frame(connection, request, deadline);
  if (!written.empty()) return exchange_failure(std::move(written), "write_failed");
  for (;;) {
    CodexFrameRead frame = read_codex_frame(connection, deadline);
    if (frame.timed_out || (!frame.ok && monotonic_now_ns() >= deadline)) {
      return exchange_failure("timed out waiting for Codex Desktop IPC response", "timeout");
    }
    if (!frame.ok) return exchange_failure(std::move(frame.error), "read_failed");
    if (!json_nesting_within(frame.body)) {
      return exchange_failure("Codex Desktop IPC frame is nested too deeply", "invalid_json");
    }
    const nlohmann::json parsed = nlohmann::json::parse(frame.body, nullptr, false);
    if (parsed.is_discarded()) {
      return exchange_failure("Codex Desktop IPC frame is not valid JSON", "invalid_json");
    }
    if (!parsed.is_object()) continue;
    const std::optional<std::string> type = text_member(parsed, "type");
    if (type == "client-discovery-request") {
      std::string answered =
          write_codex_frame(connection, codex_client_discovery_answer(parsed), deadline);
      if (!answered.empty()) return exchange_failure(std::move(answered), "write_failed");
      continue;
    }
    if (type == "response" && text_member(parsed, "requestId") == request_id) {
      return judge_response(parsed, method);
    }
  }
}

CodexClientSession open_codex_client_session(const std::filesystem::path& pipe,
                                             const CodexIpcTimings& timings) {
  CodexClientSession session;
  const platform::PipeIoResult connected = platform::connect_local_socket(
      pipe, monotonic_now_ns() + timings.connect_timeout_ms * kNsPerMs, session.connection);
  if (!connected.completed()) {
    const std::string reason = connected.status == platform::PipeIoStatus::timed_out
                                   ? "timed out connecting to Codex Desktop IPC pipe"
                                   : "failed to connect to Codex Desktop IPC pipe error=" +
                                         std::to_string(connected.windows_error);
    session.error = "failed to connect to Codex Desktop IPC pipe: " + reason;
    return session;
  }
  session.connected = true;
  const std::string request_id = random_uuid();
  const CodexExchangeResult initialized =
      codex_ipc_exchange(session.connection, codex_initialize_request(request_id), request_id,
                         "initialize", timings.exchange_timeout_ms);
  if (!initialized.ok) {
    session.error = "failed to initialize Codex Desktop IPC client: " + initialized.error;
    session.connection.close();
  }
  return session;
}

CodexOwnerProbe probe_codex_owner(const std::filesystem::path& pipe, const std::string& thread_id,
                                  const CodexIpcTimings& timings) {
  CodexOwnerProbe probe;
  probe.evidence = "pipe=" + pipe.string();
  CodexClientSession session = open_codex_client_session(pipe, timings);
  if (!session.error.empty()) {
    probe.result = session.connected ? "initialize_failed" : "pipe_unavailable";
    probe.error = session.error;
    return probe;
  }
  const std::string request_id = random_uuid();
  const CodexExchangeResult loaded = codex_ipc_exchange(
      session.connection, codex_owner_probe_request(request_id, thread_id), request_id,
      "thread-follower-load-complete-history", timings.exchange_timeout_ms);
  probe.result = loaded.ok ? "owner_found" : "owner_missing";
  if (!loaded.ok) {
    probe.evidence += " probe_failure=" + loaded.kind;
    probe.error = loaded.error;
  }
  return probe;
}

namespace {

CodexExchangeResult send_turn(platform::LocalConnection& connection,
                              const std::string& request_template, const std::string& method,
                              const CodexIpcTimings& timings) {
  const std::string request_id = random_uuid();
  const std::optional<std::string> request =
      fill_codex_request_template(request_template, request_id);
  if (!request) return exchange_failure("internal IPC request template error", "template");
  return codex_ipc_exchange(connection, *request, request_id, method, timings.exchange_timeout_ms);
}

}  // namespace

CodexTurnSubmission submit_codex_turn(const std::filesystem::path& pipe,
                                      const CodexTurnInput& input, const CodexIpcTimings& timings) {
  CodexTurnSubmission submission;
  CodexClientSession session = open_codex_client_session(pipe, timings);
  if (!session.error.empty()) {
    submission.attempt = "client_session";
    submission.error = "Codex Desktop IPC send failed: " + session.error;
    return submission;
  }
  // Steering joins the turn in progress; only when there is none to steer is a new one started.
  const std::pair<const char*, std::string> attempts[] = {
      {"thread-follower-steer-turn", codex_steer_turn_template(input)},
      {"thread-follower-start-turn", codex_start_turn_template(input)}};
  CodexExchangeResult outcomes[2];
  for (std::size_t i = 0; i < 2; ++i) {
    outcomes[i] = send_turn(session.connection, attempts[i].second, attempts[i].first, timings);
    if (outcomes[i].ok) {
      submission.ok = true;
      submission.attempt = attempts[i].first;
      return submission;
    }
  }
  const CodexExchangeResult& steered = outcomes[0];
  const CodexExchangeResult& started = outcomes[1];
  submission.attempt = "steer_and_start";
  submission.error =
      "Codex Desktop IPC send failed: Codex Desktop IPC could not steer or start the target "
      "conversation. first_error=" +
      steered.error + " second_error=" + started.error;
  submission.diagnostics = "first_attempt=" + steered.kind + " second_attempt=" + started.kind;
  return submission;
}

}  // namespace tessik
