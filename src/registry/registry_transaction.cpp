// Locked registry reads and the read-modify-write transaction. Every path releases the lock
// before returning; the publish happens while it is held, so readers see whole files.
#include <algorithm>
#include <exception>
#include <map>
#include <mutex>

#include "base/sha256.h"
#include "platform/files.h"
#include "registry/registry.h"

namespace tessik {
namespace {

// Releases the registry lock on every exit of a transaction.
class LockGuard {
 public:
  LockGuard() = default;
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;
  ~LockGuard() { unlock_registry_file(lock_); }
  RegistryFileLock& lock() { return lock_; }

 private:
  RegistryFileLock lock_;
};

bool matches_expectation(const RegistryExpectation& expected,
                         const RegistrySnapshotMetadata& actual) {
  return expected.exists == actual.exists && expected.size == actual.size &&
         expected.sha256 == actual.sha256;
}

RegistryMutationResult finish(RegistryMutationResult result, RegistryStatus status,
                              std::string error = {}) {
  result.status = status;
  result.error = std::move(error);
  result.after = result.before;
  return result;
}

// A request reads the registry several times while it rarely changes: a file whose stamp
// settled is parsed once and its snapshot handed out again while the stamp holds.
RegistrySnapshot read_registry_snapshot_once(const std::filesystem::path& path) {
  struct Entry {
    platform::FileIdentity stamp;
    RegistrySnapshot snapshot;
  };
  static std::mutex mutex;
  static std::map<std::filesystem::path, Entry> entries;
  const std::optional<platform::FileIdentity> stamp = platform::file_identity(path);
  {
    const std::lock_guard lock(mutex);
    const auto found = entries.find(path);
    if (stamp && found != entries.end() && found->second.stamp == *stamp) {
      return found->second.snapshot;
    }
  }
  RegistrySnapshot snapshot = read_registry_snapshot(path);
  // A missing file costs nothing to read again, so it needs no second look.
  const std::optional<platform::FileIdentity> after =
      stamp ? platform::file_identity(path) : std::nullopt;
  const std::lock_guard lock(mutex);
  if (entries.size() > 8) entries.clear();  // one or two paths in practice; tests make more
  if (platform::identity_settled(stamp, after)) {
    entries[path] = Entry{*stamp, snapshot};
  } else {
    entries.erase(path);
  }
  return snapshot;
}

}  // namespace

RegistryStatus read_registry_locked(const std::filesystem::path& path,
                                    const RegistryDeadline& deadline, RegistrySnapshot& snapshot,
                                    std::string& error) {
  LockGuard guard;
  const RegistryStatus status = lock_registry_file(path, deadline, guard.lock(), error);
  if (status != RegistryStatus::unchanged) return status;
  try {
    snapshot = read_registry_snapshot_once(path);
  } catch (const std::exception& e) {
    error = e.what();
    return RegistryStatus::io_error;
  }
  return RegistryStatus::unchanged;
}

std::vector<AgentRecord> load_registry(const Registry& registry) {
  RegistrySnapshot snapshot;
  std::string error;
  const RegistryStatus status = read_registry_locked(
      registry.path(), RegistryDeadline::after(kRegistryLoadTimeoutNs), snapshot, error);
  if (status != RegistryStatus::unchanged) throw registry_error("registry load", status, error);
  return std::move(snapshot.rows);
}

RegistryMutationResult mutate_registry(const std::filesystem::path& path,
                                       const RegistryMutation& mutation,
                                       const RegistryMutationOptions& options) {
  RegistryMutationResult result;
  const RegistryDeadline& deadline = options.deadline;
  LockGuard guard;
  std::string lock_error;
  const RegistryStatus locked = lock_registry_file(path, deadline, guard.lock(), lock_error);
  if (locked != RegistryStatus::unchanged) return finish(result, locked, lock_error);
  if (deadline.cancellation_requested()) return finish(result, RegistryStatus::cancelled);

  RegistrySnapshot snapshot;
  try {
    snapshot = read_registry_snapshot(path);
  } catch (const std::exception& e) {
    return finish(result, RegistryStatus::io_error, e.what());
  }
  result.before = snapshot.metadata;
  if (options.expected && !matches_expectation(*options.expected, result.before)) {
    return finish(result, RegistryStatus::precondition_failed);
  }
  if (deadline.cancellation_requested()) return finish(result, RegistryStatus::cancelled);
  if (!mutation) {
    return finish(result, RegistryStatus::io_error, "registry mutation callback is empty");
  }

  std::vector<AgentRecord> rows = std::move(snapshot.rows);
  bool changed = false;
  try {
    changed = mutation(rows, result.before);
  } catch (const std::exception& e) {
    return finish(result, RegistryStatus::io_error, e.what());
  } catch (...) {
    return finish(result, RegistryStatus::io_error, "unknown registry mutation failure");
  }
  if (deadline.cancellation_requested()) return finish(result, RegistryStatus::cancelled);
  if (!changed) return finish(result, RegistryStatus::unchanged);

  const std::string rendered = render_registry(rows);
  if (snapshot.metadata.exists && rendered == snapshot.content) {
    return finish(result, RegistryStatus::unchanged);
  }
  try {
    publish_file_atomically(path, rendered, "registry");
  } catch (const std::exception& e) {
    return finish(result, RegistryStatus::io_error, e.what());
  }
  result.status = RegistryStatus::committed;
  result.after.exists = true;
  result.after.size = rendered.size();
  result.after.sha256 = sha256_hex(rendered);
  result.after.mailbox_added = std::none_of(
      rows.begin(), rows.end(), [](const AgentRecord& r) { return is_builtin_mailbox(r); });
  return result;
}

}  // namespace tessik
