// The index of a task log: for every task id where its latest line stands and the few fields
// listing decides on, kept current by reading only the bytes appended since it last looked.
#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "a2a/tasks/log_scan/appended_log.h"
#include "a2a/tasks/task_log.h"

namespace tessik {

// The fields (by the stored-line lookup rule) and the place of one latest line. The texts
// point into the index that made it and stay valid until its next refresh.
struct LatestTaskLine {
  std::string_view id;
  std::string_view context_id;
  std::string_view state;      // status.state
  std::string_view timestamp;  // status.timestamp
  std::string_view requester_client_id;
  std::string_view requester_agent;
  std::string_view requester_node;
  std::uint64_t offset = 0;  // of the trimmed line in the file
  std::uint64_t length = 0;
};

// The requester fields of a task line, stored once per distinct combination.
struct TaskOwnerText {
  std::string client_id;
  std::string agent;
  std::string node;
};

// Every task id of one log with its latest line, in the order of those lines (oldest first).
// Lines that are not JSON or have a blank id are passed over; a later line of an id replaces
// the earlier one and takes its place in the order. A final line without a line break counts
// as long as it reads as a task line, and is read again once the log grows.
//
// refresh() brings the index up to date: a log of the same file (device and inode) that grew
// is read from where the last refresh stopped; a log that shrank, was replaced, or whose bytes
// before that point changed is read again from the start; a missing log empties the index.
// Slots number the lines in file order; some slots are dead (their id was written again).
// Slot numbers, texts and views stay valid until the next refresh.
//
// Not thread-safe: one thread at a time, which with_task_log_index arranges for the broker's
// shared indexes. Memory grows with the number of distinct tasks, not with the log's size;
// the log is never held in memory, only the lines being read.
class TaskLogIndex {
 public:
  explicit TaskLogIndex(std::filesystem::path log_path);
  ~TaskLogIndex();
  TaskLogIndex(const TaskLogIndex&) = delete;
  TaskLogIndex& operator=(const TaskLogIndex&) = delete;

  void refresh();

  const std::filesystem::path& log_path() const { return log_path_; }
  std::uint32_t slot_count() const { return static_cast<std::uint32_t>(entries_.size()); }
  std::size_t task_count() const { return entries_.size() - dead_count_; }
  bool live(std::uint32_t slot) const { return !entries_[slot].dead; }

  // The slot of the latest line whose id equals `id` exactly; nothing when there is none.
  std::optional<std::uint32_t> find(std::string_view id) const;

  LatestTaskLine line(std::uint32_t slot) const;
  std::string_view id(std::uint32_t slot) const { return text(entries_[slot].id); }
  std::string_view timestamp(std::uint32_t slot) const { return text(entries_[slot].timestamp); }
  std::string_view context_id(std::uint32_t slot) const { return text(entries_[slot].context); }
  // Small numbers naming the slot's distinct owner and state, for callers that decide once
  // per distinct value; owner_count() and state_count() bound them.
  std::uint32_t owner(std::uint32_t slot) const { return entries_[slot].owner; }
  std::uint32_t state(std::uint32_t slot) const { return entries_[slot].state; }
  std::size_t owner_count() const { return owners_.size(); }
  std::size_t state_count() const { return states_.size(); }
  const TaskOwnerText& owner_text(std::uint32_t owner) const { return owners_[owner]; }
  std::string_view state_text(std::uint32_t state) const { return states_[state]; }

  // The stored lines of the given slots, read from the file the last refresh indexed. A line
  // that can no longer be read comes back empty.
  std::vector<std::string> read_lines(const std::vector<std::uint32_t>& slots) const;

  // Bytes the index holds (entries, texts, id table), for reports and tests.
  std::size_t memory_bytes() const;
  // How many refreshes read the log from its start; tests tell growth from a rebuild by it.
  std::uint64_t rebuild_count() const { return rebuilds_; }

  // Bytes one indexed line costs beside its texts.
  static std::size_t entry_bytes();

 private:
  struct TextRef {
    std::uint32_t at = 0;
    std::uint32_t size = 0;
  };
  struct Entry {
    std::uint64_t offset = 0;
    std::uint32_t length = 0;
    TextRef id;
    TextRef context;
    TextRef timestamp;
    std::uint32_t owner = 0;
    std::uint32_t state = 0;
    bool dead = false;
  };
  class IdTable;
  struct Provisional;

  std::string_view text(TextRef ref) const { return {arena_.data() + ref.at, ref.size}; }
  TextRef keep(std::string_view value);
  void reset();
  void read_appended(std::FILE* file);
  void apply_line(std::string_view line, std::uint64_t offset, bool provisional);
  void withdraw_provisional();
  void compact_if_worthwhile();
  std::uint32_t intern_owner(std::string_view client, std::string_view agent,
                             std::string_view node);
  std::uint32_t intern_state(std::string_view state);

  std::filesystem::path log_path_;
  TaskLogFile file_;  // the file the last refresh read, kept open for read_lines
  AppendedLogReader reader_;
  std::vector<Entry> entries_;
  std::vector<char> arena_;
  std::unique_ptr<IdTable> table_;
  std::unique_ptr<Provisional> provisional_;
  std::size_t dead_count_ = 0;
  std::deque<TaskOwnerText> owners_;
  std::deque<std::string> states_;
  std::unordered_map<std::string, std::uint32_t> owner_numbers_;  // by owner_key()
  std::unordered_map<std::string, std::uint32_t> state_numbers_;
  std::uint32_t last_owner_ = 0;
  std::string key_scratch_;
  std::uint64_t rebuilds_ = 0;
};

// Runs `use` with the process's index of `log_path`, refreshed, while holding that index's
// lock; other threads asking for the same log wait. The process keeps the indexes of the few
// logs used last (the least recently used one is dropped past that). Exceptions of the refresh
// and of `use` pass through and drop the index, which is rebuilt on next use.
void with_task_log_index(const std::filesystem::path& log_path,
                         const std::function<void(const TaskLogIndex&)>& use);

// The latest line of the trimmed `task_id` through the process's index of the log; the same
// answer as find_latest_task_line, without reading the whole log.
std::optional<std::string> find_latest_task_line_indexed(const std::filesystem::path& log_path,
                                                         std::string_view task_id);

}  // namespace tessik
