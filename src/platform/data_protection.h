// Data protection bound to the current user or to the machine, the substitute of DPAPI.
// A blob made here can be opened only with the same scope's key and the same entropy.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace tessik::platform {

// The error code reported when a blob does not open (wrong key, wrong entropy, damaged
// blob); the counterpart of ERROR_INVALID_DATA.
inline constexpr int kInvalidDataError = 13;

// Protects `plain` for the current user with `entropy` bound to it (empty = none).
// `user_key_file` is where the user's key lives where the system keeps no key of its own
// (POSIX); it is created on first use. False with `error_code` on failure.
bool protect_user_data(const std::filesystem::path& user_key_file, std::string_view plain,
                       std::string_view entropy, std::string& blob, int& error_code);

// Opens a user-scope blob. False with `error_code` (kInvalidDataError for a blob that does
// not authenticate) on failure. Never creates a key.
bool unprotect_user_data(const std::filesystem::path& user_key_file, std::string_view blob,
                         std::string_view entropy, std::string& plain, int& error_code);

// Opens a machine-scope blob (written by the machine-wide service; never created here).
bool unprotect_machine_data(std::string_view blob, std::string_view entropy, std::string& plain,
                            int& error_code);

}  // namespace tessik::platform
