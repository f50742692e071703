// Broker start-up, serving loop and stop. Start-up failures are reported on stderr as well as
// through the exit code, because an operator sees nothing else.
#include "broker/broker.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>
#include <thread>

#include "a2a/intake/send_recovery.h"
#include "base/text.h"
#include "broker/broker_connection.h"
#include "platform/bounded_process.h"
#include "platform/files.h"
#include "platform/local_socket.h"
#include "platform/pipe_directory.h"
#include "platform/session_id.h"
#include "platform/stop_signal.h"
#include "state/evidence_log.h"
#include "state/state_dir.h"
#include "wire/frames.h"

namespace tessik {
namespace {

using platform::PipeIoResult;
using platform::PipeIoStatus;

// The accept wait is bounded so that the loop comes round at least once a second.
constexpr std::int64_t kClientWaitNs = 1'000'000'000;

void report(const std::string& message) {
  std::fprintf(stderr, "tessik broker: %s\n", message.c_str());
}

// Creates the tree and records the start. Returns false (reported) when either fails.
bool record_start(std::uint32_t session_id, const platform::LocalSocketServer& server) {
  try {
    ensure_state_directories();
    EvidenceLog(events_log_path())
        .append("a2a_user_broker_started", {{"session_id", std::to_string(session_id)},
                                            {"transport", "unix_domain_socket_poll"},
                                            {"polling", "false"}});
    std::fprintf(stderr, "state directory: %s\npipe directory: %s\n",
                 resolve_state_directory().string().c_str(),
                 server.path().parent_path().string().c_str());
    return true;
  } catch (const std::exception& error) {
    report(std::string("could not start: ") + error.what());
    return false;
  }
}

// Makes the state private and settles what a stopped predecessor left half-done. Failing here
// must not keep the broker from serving: the next start tries again.
void recover_state() {
  try {
    const std::filesystem::path state = resolve_state_directory();
    platform::tighten_private_tree(state);
    const SendRecoveryReport recovered =
        recover_interrupted_sends(a2a_directory() / "tasks.jsonl", delivery_log_path(), state);
    if (!recovered.anything()) return;
    EvidenceLog(events_log_path())
        .append("a2a_user_broker_recovered",
                {{"tasks_working", std::to_string(recovered.tasks_working)},
                 {"tasks_failed", std::to_string(recovered.tasks_failed)},
                 {"requests_resumed", std::to_string(recovered.requests_resumed)},
                 {"requests_removed", std::to_string(recovered.requests_removed)},
                 {"temporaries_removed", std::to_string(recovered.temporaries_removed)}});
  } catch (const std::exception& error) {
    report(std::string("could not recover interrupted sends: ") + error.what());
  }
}

void record_stop(std::uint32_t session_id, int exit_code) {
  try {
    EvidenceLog(events_log_path())
        .append("a2a_user_broker_stopped", {{"session_id", std::to_string(session_id)},
                                            {"exit_code", std::to_string(exit_code)}});
  } catch (const std::exception& error) {
    report(std::string("could not record the stop: ") + error.what());
  }
}

int serve(platform::LocalSocketServer& server, const platform::StopSignal& stop_signal,
          const BrokerOptions& options, std::stop_token stop) {
  for (;;) {
    // Delivery workers are this process's children until it exits: each pass (at least once
    // a second) collects the ones that have ended.
    platform::reap_detached_processes();
    platform::LocalConnection connection;
    const PipeIoResult waited =
        server.wait_for_client(monotonic_now_ns() + kClientWaitNs, stop_signal, connection);
    switch (waited.status) {
      case PipeIoStatus::completed:
        break;
      case PipeIoStatus::timed_out:
        continue;
      case PipeIoStatus::cancelled:
        return 0;
      case PipeIoStatus::failed:
        report("waiting for a client failed: error " + std::to_string(waited.windows_error));
        return 13;
    }
    if (serve_connection(connection, stop_signal, options, stop) == ConnectionEnd::stop) return 0;
  }
}

// A broker killed while it was starting a delivery worker can leave a forked child that
// still holds a copy of the socket lock until it executes the worker. That lasts a moment; a
// broker restarted in that moment would otherwise conclude another broker serves the session
// and leave the session without one. A live owner keeps its lock, so a short grace only
// delays the refusal.
platform::ListenStatus listen_with_grace(platform::LocalSocketServer& server,
                                         std::uint32_t session_id) {
  constexpr auto kGrace = std::chrono::seconds(2);
  const auto deadline = std::chrono::steady_clock::now() + kGrace;
  for (;;) {
    const platform::ListenStatus status = server.listen(broker_socket_name(session_id));
    if (status != platform::ListenStatus::already_owned ||
        std::chrono::steady_clock::now() >= deadline) {
      return status;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

}  // namespace

int run_user_broker(std::stop_token stop, const BrokerOptions& options) {
  platform::StopSignal stop_signal;
  std::string error;
  if (!stop_signal.open(stop, /*handle_signals=*/true, &error)) {
    report("could not set up the stop signal: " + error);
    return 14;
  }
  if (stop_signal.stop_requested()) return 0;

  const auto session_id = platform::current_session_id();
  if (!session_id) {
    report("could not read the session id of this process");
    return 10;
  }

  platform::LocalSocketServer server;
  switch (listen_with_grace(server, *session_id)) {
    case platform::ListenStatus::listening:
      break;
    case platform::ListenStatus::already_owned:
      report("another broker already serves session " + std::to_string(*session_id));
      return 0;
    case platform::ListenStatus::insecure:
      report(server.error());
      return 11;
    case platform::ListenStatus::failed:
      report(server.error());
      return 12;
  }

  if (!record_start(*session_id, server)) return 1;
  recover_state();
  const int exit_code = serve(server, stop_signal, options, stop);
  record_stop(*session_id, exit_code);
  return exit_code;
}

}  // namespace tessik
