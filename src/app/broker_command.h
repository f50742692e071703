// The `broker` mode: the per-user broker, with options that only tests use.
#pragma once

#include <string>
#include <vector>

namespace tessik {

// `tessik broker [--request-read-timeout-ms=N]`. The option shortens how long a client has to
// send its request (1..3,600,000 ms; default 30 s) so that tests need not wait. Anything else
// prints usage and returns 2; otherwise returns the broker's exit code.
int run_broker_command(const std::vector<std::string>& args);

}  // namespace tessik
