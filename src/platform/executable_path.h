// The running executable's own path, used to start child processes of this same program.
#pragma once

#include <string>

namespace tessik::platform {

// Full path of the running executable; empty when it cannot be read or does not fit in
// 32,768 bytes.
std::string current_executable_path();

}  // namespace tessik::platform
