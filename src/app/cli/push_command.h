// The "push" command mode: what push notifications are set up and what became of their
// deliveries, read from the state directory without touching it.
#pragma once

#include <string>
#include <vector>

namespace tessik {

// `args` are the words after "push": [--json]. Lists the live configurations (callbacks in
// redacted form, never a token, credential or full URL) and every delivery with its state,
// attempts and last error. Returns 0, or 2 for bad arguments.
int run_push_command(const std::vector<std::string>& args);

}  // namespace tessik
