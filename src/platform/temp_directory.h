// The user's temporary directory, where short-lived hand-over files between processes live.
#pragma once

#include <filesystem>

namespace tessik::platform {

// $TMPDIR when set and not empty, else /tmp. Not created here; the caller creates it when it
// needs to write. Reads the environment on every call.
std::filesystem::path user_temp_directory();

}  // namespace tessik::platform
