// The agent registry: the "agents.tsv" file, its snapshots, and the locked read and
// read-modify-write transactions every other module goes through.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "registry/agent_record.h"
#include "registry/lock_publish.h"

namespace tessik {

// A handle on the agents file. The broker constructs one per request from the state
// directory; holds only the path, so copies are cheap and thread-safe.
class Registry {
 public:
  explicit Registry(std::filesystem::path agents_path) : path_(std::move(agents_path)) {}
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// The registry of the current state directory (re-resolved on every call).
Registry default_registry();

// Describes the agents file as read.
struct RegistrySnapshotMetadata {
  bool exists = false;         // the file existed and was a regular file
  std::uint64_t size = 0;      // bytes; 0 when absent
  std::string sha256;          // lower-case hex of the raw bytes; empty when absent
  bool mailbox_added = false;  // the file lacked the mailbox row, so the snapshot added one

  bool operator==(const RegistrySnapshotMetadata&) const = default;
};

struct RegistrySnapshot {
  std::vector<AgentRecord> rows;  // file order, mailbox row appended when missing
  RegistrySnapshotMetadata metadata;
  std::string content;  // the raw file bytes
};

// What a caller expects the file to be; a mutation proceeds only while it still matches.
struct RegistryExpectation {
  bool exists = false;
  std::uint64_t size = 0;
  std::string sha256;
};

struct RegistryMutationOptions {
  RegistryDeadline deadline;
  std::optional<RegistryExpectation> expected;
};

struct RegistryMutationResult {
  RegistryStatus status = RegistryStatus::io_error;
  RegistrySnapshotMetadata before;
  RegistrySnapshotMetadata after;  // the new content after a commit, else equal to before
  std::string error;               // empty unless the status is an error
};

// Edits the rows in place and returns true when it changed them. Runs with the registry lock
// held: it must not take the registry lock again. May throw; the transaction then fails.
using RegistryMutation =
    std::function<bool(std::vector<AgentRecord>& rows, const RegistrySnapshotMetadata& before)>;

// Default deadline of a registry load: 5 seconds.
inline constexpr std::int64_t kRegistryLoadTimeoutNs = 5'000'000'000;

// Reads the agents file without locking. Throws RegistryError ("could not inspect registry: ",
// "could not read registry: ", "could not finish reading registry: ").
RegistrySnapshot read_registry_snapshot(const std::filesystem::path& path);

// Lock, read, unlock. Returns unchanged on success; otherwise the lock's status (or io_error
// for a read failure) with `error` set, and `snapshot` untouched.
RegistryStatus read_registry_locked(const std::filesystem::path& path,
                                    const RegistryDeadline& deadline, RegistrySnapshot& snapshot,
                                    std::string& error);

// The rows of a locked read with a 5-second deadline. Throws registry_error("registry load").
std::vector<AgentRecord> load_registry(const Registry& registry);

// The read-modify-write transaction: lock, read, check the expectation, call `mutation` on a
// copy of the rows, and publish the rendering atomically only when its bytes differ. Lock,
// file-system and callback failures are reported in the result, not thrown (only memory
// exhaustion escapes). The lock is released on every path. Thread-safe: each call opens its
// own lock handle.
RegistryMutationResult mutate_registry(const std::filesystem::path& path,
                                       const RegistryMutation& mutation,
                                       const RegistryMutationOptions& options);

// Row codec of the file. parse_agent_row tolerates 13-, 18- and 23-field rows and returns
// nothing for shorter ones; both directions sanitize UTF-8 and normalize the record.
std::optional<AgentRecord> parse_agent_row(std::string_view line);
std::string format_agent_row(const AgentRecord& record);  // no line feed
std::string render_registry(const std::vector<AgentRecord>& records);

// The header line of "agents.tsv" (23 tab-separated column names, no line feed).
std::string_view registry_header_line();

// "1", "true", "yes", "enabled" (trimmed, any case) are true; anything else false.
bool parse_bool_field(std::string_view text);
// Trimmed base-10 signed 32-bit integer; 0 when not a number or out of range.
std::int32_t parse_int_field(std::string_view text);

}  // namespace tessik
