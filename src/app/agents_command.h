// The "agents" command mode: list, add or update a manual row, and remove registry rows.
#pragma once

#include <string>
#include <vector>

namespace tessik {

// `args` are the words after "agents". The listing's "sendable" column is whether messages can
// be delivered to the row now (deliverable), not merely its stored flag. Returns 0 on success, 2
// for bad arguments (one line on stderr), 1 when the registry fails or the request cannot be done
// (its message on stderr).
int run_agents_command(const std::vector<std::string>& args);

}  // namespace tessik
