// `tessik rename --agent NAME --name NEW`: the rename another node runs here over SSH.
#pragma once

#include <string>
#include <vector>

namespace tessik {

// Renames the agent of this node named NAME (agent id, display name or alias) to NEW through
// the rename workflow. Exit 0 when renamed, 1 when the agent or the rename failed (the reason
// on stderr), 2 for bad arguments.
int run_rename_command(const std::vector<std::string>& args);

}  // namespace tessik
