// Command modes of the tessik executable: one table, one row per mode.
#pragma once

#include <string>
#include <vector>

namespace tessik {

// Runs the mode named by args[0] (the broker when args is empty) and returns the exit code.
// Unknown modes print usage to stderr and return 2.
int run_command(const std::vector<std::string>& args);

}  // namespace tessik
