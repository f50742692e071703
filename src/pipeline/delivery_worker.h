// The delivery worker: the child process that takes one request file, checks the final
// visible body, delivers it through the provider edge and records what happened.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "providers/provider_edge_types.h"

namespace tessik {

struct DeliveryWorkerOutcome {
  DeliveryResult result;
  std::string message_id;  // empty when the request could not be read
  int exit_code = 1;       // 0 when accepted (delivered, or validated in validate-only mode)
};

// Why a final visible body cannot be delivered (blank, not UTF-8, or holding NUL bytes);
// empty when it can.
std::string final_visible_body_problem(std::string_view body);

// Reads the request file, validates the body, and (unless `validate_only` or the file's mode
// is "validate") delivers through deliver_to_provider. Appends "delivery_stage" records with
// source "delivery_worker" to the delivery log and removes the request file once it has been
// read as a request; a file that is not one is left alone. Never throws: every failure,
// including an unusable state directory, is a failed outcome.
DeliveryWorkerOutcome run_delivery_worker_request(const std::filesystem::path& request_file,
                                                  bool validate_only);

// {"type":"delivery_worker_result","message_id":..,"provider":..,"state":..,"accepted":..,
// "degraded":..,"method_used":..,"evidence":..,"error":..} without blanks or line feed;
// accepted and degraded are JSON booleans.
std::string format_delivery_worker_result(const DeliveryResult& result,
                                          std::string_view message_id);

}  // namespace tessik
