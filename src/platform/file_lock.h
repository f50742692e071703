// Whole-file exclusive locks owned by an open file handle, the substitute of byte-range
// LockFileEx. Two handles exclude each other even inside one process, as two processes do.
#pragma once

#include <cstdint>
#include <filesystem>

namespace tessik::platform {

using LockHandle = std::intptr_t;
inline constexpr LockHandle kInvalidLockHandle = -1;

enum class LockAttempt {
  acquired,  // this handle now holds the lock
  busy,      // another handle holds it; try again later
  failed,    // any other failure; `error_code` says why
};

// Opens (creating when missing, 0644) the lock file for reading and writing.
// Returns kInvalidLockHandle and sets `error_code` (errno on POSIX) on failure.
LockHandle open_lock_file(const std::filesystem::path& path, int& error_code);

// One non-blocking attempt to lock the whole file exclusively.
LockAttempt try_lock_whole_file(LockHandle handle, int& error_code);

// Releases the lock held through `handle` (no-op when none is held).
void unlock_whole_file(LockHandle handle);

// Closes the handle; closing also drops any lock it holds. No-op for kInvalidLockHandle.
void close_lock_file(LockHandle handle);

}  // namespace tessik::platform
