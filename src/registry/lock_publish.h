// Cross-process registry lock, atomic file publication and shared registry status words.
#pragma once

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>

#include "platform/file_lock.h"

namespace tessik {

// Outcome word of a registry operation. The numbering is shared with callers that store it.
enum class RegistryStatus : int {
  committed = 0,
  unchanged = 1,
  precondition_failed = 2,
  lock_timeout = 3,
  cancelled = 4,
  io_error = 5,
};

// "committed", "unchanged", ..., and "io_error" for any value outside the enumeration.
std::string registry_status_word(RegistryStatus status);

// What a caller hands to every locked operation: an absolute deadline on the monotonic clock
// (monotonic_now_ns() scale) and an optional cancellation token (default: never cancelled).
// A default-constructed deadline has already passed; build one with after().
struct RegistryDeadline {
  std::int64_t deadline_ns = 0;
  std::stop_token cancel;

  // A deadline `timeout_ns` from now, with an optional cancellation token.
  static RegistryDeadline after(std::int64_t timeout_ns, std::stop_token cancel = {});
  bool cancellation_requested() const { return cancel.stop_requested(); }
};

// Raised for file-system and registry failures; the message is the whole user-visible text.
class RegistryError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Builds "<operation> failed: <status word>[: <detail>]".
RegistryError registry_error(std::string_view operation, RegistryStatus status,
                             std::string_view detail);

// A held (or attempted) registry lock. Owned by one operation and released exactly once by
// unlock_registry_file; do not copy it while it is open.
struct RegistryFileLock {
  platform::LockHandle handle = platform::kInvalidLockHandle;
  bool locked = false;
};

// The lock file of a registry file: its weakly canonical path with ".lock" appended.
std::filesystem::path registry_lock_path(const std::filesystem::path& registry_path);

// Acquires the exclusive lock, retrying every 10 ms until `deadline`. Returns unchanged
// (acquired), lock_timeout, cancelled or io_error; on failure `error` holds the message.
// `lock` must not be open yet. The caller calls unlock_registry_file on every path, success
// or not (a failed attempt may still hold an open handle).
RegistryStatus lock_registry_file(const std::filesystem::path& registry_path,
                                  const RegistryDeadline& deadline, RegistryFileLock& lock,
                                  std::string& error);

// Releases the lock and closes its handle; a no-op when not open. Safe to call twice.
void unlock_registry_file(RegistryFileLock& lock);

// Writes `content` to a fresh exclusive temporary sibling of `destination`
// ("<name>.tmp.<token>"), flushes it, and swaps it into place atomically, then flushes the
// directory. Readers see the old or the new file, never a mix. Throws RegistryError with a
// message naming `label` (e.g. "could not atomically publish registry: Windows error 13");
// no temporary file is left behind on failure. `mode` is the new file's permission bits;
// state is private, so the default is owner-only.
void publish_file_atomically(const std::filesystem::path& destination, std::string_view content,
                             std::string_view label, unsigned mode = 0600);

}  // namespace tessik
