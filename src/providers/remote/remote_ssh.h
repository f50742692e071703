// SSH plumbing shared by the SSH transports and the remote rename: running one ssh command
// line through the shell as a bounded process, and reading a relay session's answer.
#pragma once

#include <cstdint>
#include <string>

#include "platform/bounded_process.h"
#include "providers/remote/remote_transports.h"

namespace tessik {

// Runs `command` with "/bin/sh -c" as a bounded process of at most `timeout_ms`.
platform::BoundedProcessResult run_ssh_command(const std::string& command,
                                               std::int64_t timeout_ms);

// The outcome of a relay session's output: upstream messages go to the installed handler
// (each named in the evidence), the first "deliver_result" or "error" line decides; output
// without either fails, safely for fallback only when the remote did not know the command.
RemoteAttempt read_relay_output(const RemoteCall& call, const platform::BoundedProcessResult& run);

}  // namespace tessik
