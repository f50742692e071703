// The directory that holds the broker socket, other local sockets and named-mutex files:
// $TESSIK_PIPE_DIR, else $XDG_RUNTIME_DIR, else /tmp/tessik-<uid> (created 0700).
#pragma once

#include <filesystem>

namespace tessik::platform {

// Resolves the pipe directory afresh and creates it (0700) when missing.
// Throws std::runtime_error when it cannot be created.
std::filesystem::path pipe_directory();

}  // namespace tessik::platform
