// `tessik status`: whether this session's broker and the API-service stand-in answer, where
// the endpoint, token and state are, and counts of what the state directory holds.
#pragma once

#include <string>
#include <vector>

namespace tessik {

// Exit code 0 when the broker answers, 3 when it does not (the service convention for "not
// running"), 2 for a usage error, 1 when the state cannot be read.
int run_status_command(const std::vector<std::string>& args);

}  // namespace tessik
