// The "send" command mode: a user's message through the send pipeline.
#pragma once

#include <string>
#include <vector>

namespace tessik {

// `args` are the words after "send": --to TARGET --from SENDER [--from-node NODE] [--strict]
// [--method M] [--json] [TEXT...]; without TEXT the message is read from stdin. Prints the
// outcome. Returns 0 when accepted, 1 when refused or when the state cannot be used, 2 for
// bad arguments.
int run_send_command(const std::vector<std::string>& args);

}  // namespace tessik
