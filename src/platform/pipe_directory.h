// The directory that holds the broker socket, other local sockets and named-mutex files:
// $TESSIK_PIPE_DIR, else $XDG_RUNTIME_DIR, else /tmp/tessik-<uid> (created 0700).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace tessik::platform {

// Resolves the pipe directory afresh and creates it (0700) when missing. The default one in
// the shared temporary directory must be ours alone: when it exists as anything but a
// directory owned by this user with mode 0700, it is refused rather than used.
// Throws std::runtime_error when it cannot be created or is refused.
std::filesystem::path pipe_directory();

// The user this process acts as.
std::uint32_t current_user_id();

// True when `directory` is itself a directory (not a link to one), owned by `uid`, that
// nobody else may enter or list. Otherwise false with the reason in `why` (when given).
bool is_private_directory(const std::filesystem::path& directory, std::uint32_t uid,
                          std::string* why = nullptr);

}  // namespace tessik::platform
