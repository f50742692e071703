// Registry lock acquisition with bounded retries, atomic publication through a temporary
// sibling, and status words.
#include "registry/lock_publish.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "base/text.h"
#include "platform/durable_file.h"
#include "platform/files.h"

namespace tessik {
namespace {

constexpr std::int64_t kLockRetryNs = 10'000'000;
constexpr int kPublishAttempts = 8;

std::string system_description(const std::error_code& ec) {
  return ec.message();
}

void sleep_until_monotonic(std::int64_t when_ns) {
  std::this_thread::sleep_until(
      std::chrono::steady_clock::time_point(std::chrono::nanoseconds(when_ns)));
}

// Both outcomes of a lock wait that end it early, checked in the fixed order.
std::optional<RegistryStatus> wait_ended(const RegistryDeadline& deadline) {
  if (deadline.cancellation_requested()) return RegistryStatus::cancelled;
  if (monotonic_now_ns() >= deadline.deadline_ns) return RegistryStatus::lock_timeout;
  return std::nullopt;
}

std::string windows_error_text(std::string_view prefix, int code) {
  return std::string(prefix) + "Windows error " + std::to_string(code);
}

}  // namespace

std::string registry_status_word(RegistryStatus status) {
  switch (status) {
    case RegistryStatus::committed:
      return "committed";
    case RegistryStatus::unchanged:
      return "unchanged";
    case RegistryStatus::precondition_failed:
      return "precondition_failed";
    case RegistryStatus::lock_timeout:
      return "lock_timeout";
    case RegistryStatus::cancelled:
      return "cancelled";
    case RegistryStatus::io_error:
      break;
  }
  return "io_error";
}

RegistryDeadline RegistryDeadline::after(std::int64_t timeout_ns, std::stop_token cancel) {
  return RegistryDeadline{monotonic_now_ns() + timeout_ns, std::move(cancel)};
}

RegistryError registry_error(std::string_view operation, RegistryStatus status,
                             std::string_view detail) {
  std::string message(operation);
  message += " failed: ";
  message += registry_status_word(status);
  if (!detail.empty()) {
    message += ": ";
    message += detail;
  }
  return RegistryError(message);
}

namespace {

std::filesystem::path resolve_registry_lock_path(const std::filesystem::path& registry_path) {
  // weakly_canonical resolves links in the existing prefix, so the lock path is the same
  // before and after the registry file itself is first created.
  std::error_code ec;
  std::filesystem::path resolved = std::filesystem::weakly_canonical(registry_path, ec);
  if (ec || resolved.empty()) {
    resolved = std::filesystem::absolute(registry_path, ec).lexically_normal();
    if (ec) resolved = registry_path.lexically_normal();
  }
  resolved += ".lock";
  return resolved;
}

// Whether both paths name one file now. Whatever that file is, resolving `a` again would end
// in it, so the lock file beside it is the same.
bool same_file(const std::filesystem::path& a, const std::filesystem::path& b) {
  std::error_code ec;
  return std::filesystem::equivalent(a, b, ec) && !ec;
}

// The last resolutions of the few paths locked here. Resolving walks and reads every link of
// the path, which a broker would otherwise repeat several times per request; an answer is
// reused while the file is no link and the given directory is still the resolved one.
struct ResolvedLockPath {
  std::filesystem::path registry_path;
  std::filesystem::path lock_path;
};

constexpr std::size_t kRememberedLockPaths = 4;

struct LockPathMemo {
  std::mutex mutex;
  std::vector<ResolvedLockPath> recent;  // most recently resolved first
};

LockPathMemo& lock_path_memo() {
  static LockPathMemo memo;
  return memo;
}

}  // namespace

std::filesystem::path registry_lock_path(const std::filesystem::path& registry_path) {
  std::error_code ec;
  const bool file_is_link = std::filesystem::is_symlink(registry_path, ec);
  const std::filesystem::path name = registry_path.filename();
  if (file_is_link || !registry_path.has_parent_path() || name.empty() || name == "." ||
      name == "..") {
    return resolve_registry_lock_path(registry_path);
  }
  LockPathMemo& memo = lock_path_memo();
  const std::lock_guard lock(memo.mutex);
  auto& recent = memo.recent;
  auto found = std::find_if(recent.begin(), recent.end(), [&](const ResolvedLockPath& entry) {
    return entry.registry_path == registry_path;
  });
  if (found != recent.end()) {
    if (same_file(registry_path.parent_path(), found->lock_path.parent_path())) {
      std::rotate(recent.begin(), found, found + 1);
      return recent.front().lock_path;
    }
    recent.erase(found);
  }
  std::filesystem::path resolved = resolve_registry_lock_path(registry_path);
  if (recent.size() == kRememberedLockPaths) recent.pop_back();
  recent.insert(recent.begin(), {registry_path, resolved});
  return resolved;
}

RegistryStatus lock_registry_file(const std::filesystem::path& registry_path,
                                  const RegistryDeadline& deadline, RegistryFileLock& lock,
                                  std::string& error) {
  if (auto ended = wait_ended(deadline)) return *ended;
  const std::filesystem::path lock_path = registry_lock_path(registry_path);
  if (lock_path.has_parent_path()) {
    std::error_code ec;
    platform::create_private_directories(lock_path.parent_path(), ec);
    if (ec) {
      error = "could not create registry lock directory: " + system_description(ec);
      return RegistryStatus::io_error;
    }
  }
  int code = 0;
  lock.handle = platform::open_lock_file(lock_path, code);
  if (lock.handle == platform::kInvalidLockHandle) {
    error = windows_error_text("could not open persistent registry lock file: ", code);
    return RegistryStatus::io_error;
  }
  for (;;) {
    if (auto ended = wait_ended(deadline)) return *ended;
    switch (platform::try_lock_whole_file(lock.handle, code)) {
      case platform::LockAttempt::acquired:
        lock.locked = true;
        if (deadline.cancellation_requested()) {
          unlock_registry_file(lock);
          return RegistryStatus::cancelled;
        }
        return RegistryStatus::unchanged;
      case platform::LockAttempt::busy:
        sleep_until_monotonic(std::min(monotonic_now_ns() + kLockRetryNs, deadline.deadline_ns));
        break;
      case platform::LockAttempt::failed:
        error = windows_error_text("could not acquire persistent registry lock file: ", code);
        return RegistryStatus::io_error;
    }
  }
}

void unlock_registry_file(RegistryFileLock& lock) {
  if (lock.handle == platform::kInvalidLockHandle) return;
  if (lock.locked) platform::unlock_whole_file(lock.handle);
  platform::close_lock_file(lock.handle);
  lock.handle = platform::kInvalidLockHandle;
  lock.locked = false;
}

void publish_file_atomically(const std::filesystem::path& destination, std::string_view content,
                             std::string_view label, unsigned mode) {
  const std::string what(label);
  if (destination.has_parent_path()) {
    std::error_code ec;
    platform::create_private_directories(destination.parent_path(), ec);
    if (ec) throw RegistryError("could not create " + what + " directory: " + ec.message());
  }
  std::filesystem::path temporary;
  platform::FileHandle handle = platform::kInvalidFileHandle;
  int code = 0;
  for (int attempt = 1; attempt <= kPublishAttempts; ++attempt) {
    temporary = platform::temporary_sibling_path(destination);
    handle = platform::create_new_file(temporary, mode, code);
    if (handle != platform::kInvalidFileHandle) break;
    if (code != platform::file_exists_error_code() || attempt == kPublishAttempts) {
      throw RegistryError(windows_error_text("could not create temporary " + what + ": ", code));
    }
  }
  auto fail = [&](std::string_view step) {
    platform::remove_file_quietly(temporary);
    throw RegistryError(
        windows_error_text("could not " + std::string(step) + " " + what + ": ", code));
  };
  if (!platform::write_all(handle, content, code)) {
    int ignored = 0;
    platform::close_file(handle, ignored);
    fail("write temporary");
  }
  if (!platform::flush_file(handle, code)) {
    int ignored = 0;
    platform::close_file(handle, ignored);
    fail("flush temporary");
  }
  if (!platform::close_file(handle, code)) fail("close temporary");
  std::error_code ec;
  (void)std::filesystem::status(destination, ec);
  if (ec && ec != std::errc::no_such_file_or_directory && ec != std::errc::not_a_directory) {
    code = ec.value();
    fail("inspect destination");
  }
  if (!platform::replace_file(temporary, destination, code)) fail("atomically publish");
  // The content is already visible under its name; a file system that cannot flush a
  // directory only loses durability of the rename, so this is not reported as a failure.
  int ignored = 0;
  platform::flush_directory(destination.parent_path(), ignored);
}

}  // namespace tessik
