// `tessik tasks`: list, show and cancel A2A tasks through the broker, as an A2A client with
// the local token (or --token / TESSIK_A2A_TOKEN), so the gateway's scopes and visibility hold.
#pragma once

#include <string>
#include <vector>

namespace tessik {

// Exit code 0 on success, 1 when the broker refuses or is unreachable, 2 for a usage error,
// 3 when the broker is not running.
int run_tasks_command(const std::vector<std::string>& args);

}  // namespace tessik
