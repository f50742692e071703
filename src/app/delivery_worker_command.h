// The "delivery-worker" command mode, started by the delivery hand-off.
#pragma once

#include <string>
#include <vector>

namespace tessik {

// `args` are the words after "delivery-worker": --request FILE [--validate-only]. Prints
// exactly one delivery_worker_result line on stdout. Returns 0 when accepted, 1 when the
// delivery or the request failed, 2 for bad arguments.
int run_delivery_worker_command(const std::vector<std::string>& args);

}  // namespace tessik
