// The per-connection sequence. Evidence is written only for a response that could not be
// delivered; refusals and successful exchanges leave no trace in the state directory.
#include "broker/broker_connection.h"

#include <cstdio>
#include <exception>
#include <string>

#include "base/text.h"
#include "broker/request_handling.h"
#include "state/evidence_log.h"
#include "state/state_dir.h"
#include "wire/envelope.h"
#include "wire/frames.h"

namespace tessik {
namespace {

using platform::PipeIoResult;
using platform::PipeIoStatus;

constexpr std::int64_t kResponseDrainTimeoutNs = 30'000'000'000;

void append_broker_event(const char* event_type, const EvidenceFields& fields) {
  try {
    EvidenceLog(events_log_path()).append(event_type, fields);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "tessik broker: could not record %s: %s\n", event_type, error.what());
  }
}

// Writes the response and reads the acknowledgement; returns the outcome of the failing step,
// or a completed result when the response was delivered and acknowledged.
PipeIoResult drain_response(platform::LocalConnection& connection,
                            const platform::StopSignal& stop_signal,
                            const GatewayResponse& response) {
  const std::int64_t deadline = monotonic_now_ns() + kResponseDrainTimeoutNs;
  const PipeIoResult written =
      write_frame(connection, serialize_gateway_response(response), deadline, &stop_signal);
  if (!written.completed()) return written;
  std::string acknowledgement;
  PipeIoResult read = read_frame(connection, acknowledgement, deadline, &stop_signal);
  if (!read.completed()) return read;
  std::string reason;
  if (!is_response_acknowledgement(acknowledgement, &reason)) {
    append_broker_event("a2a_user_broker_response_ack_invalid", {{"reason", reason}});
    read.status = PipeIoStatus::failed;
    read.windows_error = platform::kErrorInvalidData;
  }
  return read;
}

}  // namespace

ConnectionEnd serve_connection(platform::LocalConnection& connection,
                               const platform::StopSignal& stop_signal,
                               const BrokerOptions& options, std::stop_token stop) {
  const bool caller_accepted = platform::is_service_caller(connection);
  std::string payload;
  const PipeIoResult request = read_frame(
      connection, payload, monotonic_now_ns() + options.request_read_timeout_ns, &stop_signal);
  if (request.status == PipeIoStatus::cancelled) {
    connection.close();
    return ConnectionEnd::stop;
  }
  const GatewayResponse response =
      answer_request(request.completed(), caller_accepted, payload, stop);
  payload.clear();
  payload.shrink_to_fit();  // a large request need not stay resident while draining

  const PipeIoResult drained = drain_response(connection, stop_signal, response);
  if (!drained.completed()) {
    append_broker_event("a2a_user_broker_response_drain_failed",
                        {{"status", platform::pipe_io_status_name(drained.status)},
                         {"windows_error", std::to_string(drained.windows_error)}});
  }
  connection.close();
  return drained.status == PipeIoStatus::cancelled ? ConnectionEnd::stop : ConnectionEnd::served;
}

}  // namespace tessik
