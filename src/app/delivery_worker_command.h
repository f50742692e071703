// The "delivery-worker" and "delivery-supervisor" command modes, started by the delivery
// hand-off.
#pragma once

#include <string>
#include <vector>

namespace tessik {

// `args` are the words after "delivery-worker": --request FILE [--validate-only]. Prints
// exactly one delivery_worker_result line on stdout. Returns 0 when accepted, 1 when the
// delivery or the request failed, 2 for bad arguments.
int run_delivery_worker_command(const std::vector<std::string>& args);

// `args` are the words after "delivery-supervisor": --request FILE --operation-id ID
// --dispatch-token T --callback-message-id ID, each once. Prints one delivery_worker_result
// line; exit codes as for the worker.
int run_delivery_supervisor_command(const std::vector<std::string>& args);

}  // namespace tessik
