// The delivery supervisor. The journal's claim is what makes the delivery single; the named
// mutex only keeps a second supervisor waiting until the first has written its outcome.
#include "pipeline/delivery_supervisor.h"

#include <exception>

#include "base/sha256.h"
#include "base/text.h"
#include "pipeline/delivery_request.h"
#include "platform/named_mutex.h"
#include "providers/antigravity_cli/operation_journal.h"

namespace tessik {
namespace {

// Long enough for a first supervisor's ordinary delivery; a longer one leaves the second to
// read the journal's claim, which refuses it anyway.
constexpr std::uint32_t kOperationMutexWaitMs = 30'000;

DeliveryResult supervisor_failure(std::string method, std::string error, std::string evidence) {
  DeliveryResult result;
  result.provider = "delivery_supervisor";
  result.state = "failed";
  result.method = std::move(method);
  result.error = std::move(error);
  result.evidence = std::move(evidence);
  return result;
}

// A refused supervisor takes the request file away (when no one else holds it) so that the
// broker's recovery of left request files cannot deliver the reply behind the journal's back.
void discard_request(const std::filesystem::path& file) {
  DeliveryRequestClaim claim(file);
  if (claim.claim() == DeliveryRequestClaim::Status::claimed) claim.consume();
}

DeliveryWorkerOutcome supervise(const DeliverySupervisorArguments& arguments) {
  DeliveryWorkerOutcome outcome;
  outcome.message_id = trim(arguments.callback_message_id);
  const std::string operation_id = trim(arguments.operation_id);
  const std::string evidence =
      "operation_id=" + operation_id + " request_file=" + arguments.request_file.string();
  const platform::NamedMutex mutex = platform::NamedMutex::acquire(
      "Tessik.AgyOperation." + sha256_hex(operation_id), kOperationMutexWaitMs);
  const OperationBinding claimed =
      begin_operation_response(operation_id, arguments.dispatch_token, outcome.message_id);
  if (!claimed.bound) {
    discard_request(arguments.request_file);
    outcome.result =
        supervisor_failure("delivery_supervisor_operation_refused", claimed.error,
                           evidence + " mutex=" + (mutex.acquired() ? "held" : "busy"));
    return outcome;
  }
  outcome = run_delivery_worker_request(arguments.request_file, false);
  if (outcome.message_id.empty()) outcome.message_id = trim(arguments.callback_message_id);
  if (outcome.result.accepted) {
    record_operation_response_delivered(
        operation_id, outcome.message_id,
        "state=" + outcome.result.state + " method=" + outcome.result.method);
  } else {
    record_operation_response_failed(operation_id, "delivery_supervisor_delivery_failed",
                                     outcome.result.error);
  }
  outcome.result.evidence += " " + evidence;
  return outcome;
}

}  // namespace

DeliveryWorkerOutcome run_delivery_supervisor(const DeliverySupervisorArguments& arguments) {
  try {
    return supervise(arguments);
  } catch (const std::exception& error) {
    DeliveryWorkerOutcome outcome;
    outcome.message_id = trim(arguments.callback_message_id);
    outcome.result = supervisor_failure("delivery_supervisor_exception", error.what(),
                                        "operation_id=" + trim(arguments.operation_id));
    return outcome;
  }
}

}  // namespace tessik
