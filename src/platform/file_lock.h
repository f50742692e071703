// Whole-file exclusive locks owned by an open file handle, the substitute of byte-range
// LockFileEx. Two handles exclude each other even inside one process, as two processes do.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace tessik::platform {

using LockHandle = std::intptr_t;
inline constexpr LockHandle kInvalidLockHandle = -1;

enum class LockAttempt {
  acquired,  // this handle now holds the lock
  busy,      // another handle holds it; try again later
  failed,    // any other failure; `error_code` says why
};

// Opens (creating when missing, owner-only) the lock file for reading and writing.
// Returns kInvalidLockHandle and sets `error_code` (errno on POSIX) on failure.
LockHandle open_lock_file(const std::filesystem::path& path, int& error_code);

// Opens an existing regular file of this user for locking: never creates it and
// never follows a link. kInvalidLockHandle with `error_code` when it is missing, a link, or
// belongs to someone else. Used to claim a hand-over file that exactly one process may consume.
LockHandle open_existing_lock_file(const std::filesystem::path& path, int& error_code);

// True while `path` still names the very file open as `handle`: it was neither removed nor
// replaced since it was opened. Checked after locking, so a file that its consumer already
// removed is not consumed twice.
bool lock_file_is_linked_at(LockHandle handle, const std::filesystem::path& path);

// Reads the whole file open as `handle` from its start into `contents`, whatever the handle's
// position. False when it is longer than `limit` bytes or cannot be read. Lets the holder of a
// claim read what it claimed without opening the file again.
bool read_lock_file(LockHandle handle, std::uint64_t limit, std::string& contents);

// One non-blocking attempt to lock the whole file exclusively.
LockAttempt try_lock_whole_file(LockHandle handle, int& error_code);

// Releases the lock held through `handle` (no-op when none is held).
void unlock_whole_file(LockHandle handle);

// Closes the handle; closing also drops any lock it holds. No-op for kInvalidLockHandle.
void close_lock_file(LockHandle handle);

}  // namespace tessik::platform
