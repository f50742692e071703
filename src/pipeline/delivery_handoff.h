// The delivery hand-off: passes an accepted message to a detached delivery worker of this same
// program, or runs the worker synchronously and reads its result line.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "providers/provider_edge_types.h"

namespace tessik {

inline constexpr char kOperationIdVariable[] = "TESSIK_AGY_OPERATION_ID";
inline constexpr char kExecutableVariable[] = "TESSIK_EXE";
inline constexpr char kOperationContextPrefix[] = "tessik-operation:";
inline constexpr char kExactCallbackSenderSource[] = "antigravity_cli_exact_response_callback";
inline constexpr std::int64_t kDeliveryWorkerTimeoutMs = 300000;

// The program children are started from: TESSIK_EXE (trimmed, when not blank), else the
// running executable, else "bin/tessik" in the state directory, else "tessik" in the current
// directory, each when the file exists; else the bare name "tessik" (looked up on PATH at
// launch).
std::filesystem::path delivery_executable();

// Whether the request is a reply that must be bound to one exact Antigravity CLI operation.
bool is_exact_callback_request(const DeliveryRequest& request);

// The binding of an exact callback request: the operation id from its source context and the
// dispatch token the operation facts journal gave back, or the refusal message.
struct CallbackBinding {
  bool complete = false;
  std::string operation_id;
  std::string dispatch_token;
  std::string error;
};
CallbackBinding bind_exact_callback(const DeliveryRequest& request);

// Writes the request file and starts the worker (the supervisor, with the operation's binding
// on its command line, for a bound callback reply) detached, in a new session, with
// TESSIK_AGY_OPERATION_ID cleared and the recursion depth incremented. Does not wait.
// Accepted with state "accepted_by_tessik" when the child started; a refused binding (an
// unusable operation journal included) or a failed launch is a failed result and the request
// file is removed. A request file name that exists already is a failed result too, and
// that file is left untouched. A supervisor that cannot be launched makes its operation record
// "response_failed". Throws std::runtime_error only when the request file cannot be written.
DeliveryResult hand_off_delivery(const DeliveryRequest& request);

// Starts a detached delivery worker for a request file that a hand-off wrote but no worker
// consumed (the process that wrote it stopped). The worker claims the file, so a worker that
// was started for it already and this one never both deliver it. Empty on success, else the
// launcher's error.
std::string resume_delivery_handoff(const std::filesystem::path& request_file);

// Runs "delivery-worker --request FILE" (with "--validate-only" for mode "validate") as a
// bounded process, removes the request file and returns the last result line the worker
// printed. Throws std::runtime_error only when the request file cannot be written.
DeliveryResult run_delivery_worker(const DeliveryRequest& request, std::string_view mode,
                                   std::int64_t timeout_ms = kDeliveryWorkerTimeoutMs);

// The last line of `output` holding a worker result ("\"type\":\"" and
// "delivery_worker_result"), read into a result; false when there is none or it does not parse.
bool parse_delivery_worker_result(std::string_view output, DeliveryResult& result);

}  // namespace tessik
