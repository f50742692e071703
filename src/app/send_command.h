// The "send" command mode: a user's message through the send pipeline.
#pragma once

#include <string>
#include <vector>

namespace tessik {

// `args` are the words after "send": --to TARGET --from SENDER [--from-node NODE] [--strict]
// [--method M] [--source-context C] [--json] [TEXT...]; without TEXT the message is read from
// stdin. A source context "tessik-operation:<message id>" makes the message a reply that
// completes the A2A task of that message. Prints the outcome. Returns 0 when accepted, 1 when refused or when the state cannot be used, 2 for
// bad arguments.
int run_send_command(const std::vector<std::string>& args);

}  // namespace tessik
