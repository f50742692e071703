// Handing the rest of this process's life to another program, for a mode that is only a
// forwarder to a sibling executable.
#pragma once

#include <string>
#include <vector>

namespace tessik::platform {

// Runs `program` with `args` (not counting the program itself) in place of this process:
// same process id, environment, standard handles and signal recipients, so whoever started
// this process waits for and signals the program. Where the system cannot replace a process
// image, the program runs as a child and its exit code ends this process. Returns only when
// the program could not be started, with the reason in `error`.
void hand_over_to_program(const std::string& program, const std::vector<std::string>& args,
                          std::string& error);

}  // namespace tessik::platform
