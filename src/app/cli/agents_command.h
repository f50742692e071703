// The "agents" command mode: list, add or update a manual row, register an external A2A agent
// from its Agent Card, and remove registry rows.
#pragma once

#include <string>
#include <vector>

namespace tessik {

// `args` are the words after "agents". The listing's "sendable" column is whether messages can
// be delivered to the row now (deliverable), not merely its stored flag. Returns 0 on success, 2
// for bad arguments (one line on stderr), 1 when the registry fails or the request cannot be done
// (its message on stderr). "add-a2a --card-url URL [--name N] [--alias K=V]..." fetches and
// validates the card (an unusable card or security requirement is a failure, 1) and adds the
// agent with the card's facts as "a2a:" options followed by the given aliases.
int run_agents_command(const std::vector<std::string>& args);

}  // namespace tessik
