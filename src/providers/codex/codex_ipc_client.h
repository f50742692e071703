// A follower client of the Codex desktop application's IPC pipe: connecting, one
// request/response exchange, the client session (connect + initialize), the owner probe of a
// thread and the submission of a turn (steer, then start).
// Every call returns its failure as text; nothing here throws for pipe or protocol errors.
// Each call opens and closes its own connection, so calls are independent of each other.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/local_socket.h"
#include "providers/codex/codex_ipc_messages.h"

namespace tessik {

// The bounded waits of the client. The defaults are the production values; tests pass less.
struct CodexIpcTimings {
  std::int64_t connect_timeout_ms = 15000;    // while the pipe is busy
  std::int64_t exchange_timeout_ms = 200000;  // from a request to its response
};

struct CodexExchangeResult {
  bool ok = false;
  std::string error;
  // "timeout", "write_failed", "read_failed", "invalid_json" or "error_response" on failure.
  std::string kind;
};

// Sends `request` (whose id is `request_id`, naming `method` for messages) and reads frames
// until the response to that id arrives or `timeout_ms` passes. Client-discovery requests that
// arrive meanwhile are answered (this client cannot handle them); other frames are skipped.
// A frame that cannot be read or is not JSON ends the exchange.
CodexExchangeResult codex_ipc_exchange(platform::LocalConnection& connection,
                                       const std::string& request, const std::string& request_id,
                                       const std::string& method, std::int64_t timeout_ms);

// One connected and initialized client. Empty `error` means the session is usable.
struct CodexClientSession {
  platform::LocalConnection connection;
  bool connected = false;
  std::string error;
};

// Connects to `pipe` (retrying while it is busy) and exchanges the initialize request.
CodexClientSession open_codex_client_session(const std::filesystem::path& pipe,
                                             const CodexIpcTimings& timings);

struct CodexOwnerProbe {
  // "owner_found", "pipe_unavailable", "initialize_failed", or "owner_missing" when the
  // application answered the probe with a failure.
  std::string result;
  std::string evidence;  // what was tried, key=value
  std::string error;     // empty when the owner was found
};

// Asks the application to load the thread's complete history: it succeeds only when a window
// of the application owns the thread.
CodexOwnerProbe probe_codex_owner(const std::filesystem::path& pipe, const std::string& thread_id,
                                  const CodexIpcTimings& timings);

struct CodexTurnSubmission {
  bool ok = false;
  // "thread-follower-steer-turn" or "thread-follower-start-turn" on success;
  // "client_session" or "steer_and_start" on failure.
  std::string attempt;
  std::string error;        // "Codex Desktop IPC send failed: " + the reason
  std::string diagnostics;  // "first_attempt=<kind> second_attempt=<kind>" when both failed
};

// In one client session: steer the thread's current turn; only when that fails, start a new
// turn with the same client message id.
CodexTurnSubmission submit_codex_turn(const std::filesystem::path& pipe,
                                      const CodexTurnInput& input, const CodexIpcTimings& timings);

}  // namespace tessik
