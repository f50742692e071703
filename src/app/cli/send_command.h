// The "send" command mode: a user's message through the send pipeline.
#pragma once

#include <string>
#include <vector>

namespace tessik {

// `args` are the words after "send": --to TARGET --from SENDER [--from-node NODE] [--strict]
// [--method M] [--source-context C] [--wait [--wait-seconds N]] [--json] [TEXT...]; without
// TEXT the message is read from stdin. TARGET may be a public agent id, a name or an alias. A
// source context "tessik-operation:<message id>" makes the message a reply that completes the
// A2A task of that message. Prints the outcome. Returns 0 when accepted (with --wait: when
// delivered), 1 when refused, failed or the state cannot be used, 2 for a usage error (nothing
// is sent or logged then).
int run_send_command(const std::vector<std::string>& args);

}  // namespace tessik
