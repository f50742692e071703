// a2a/tasks/: the task store. Records and their JSON, the log and its line scanner, the index,
// queries, views, visibility and results; nothing here knows HTTP or JSON-RPC.
// The task log: one append-only JSON Lines file; the last line of an id is the task.
// Readers never fail: a missing or unreadable log reads as empty, and lines that are not
// JSON or have no id are passed over. No lock of its own; every call opens the file afresh.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "a2a/gateway/gateway_context.h"
#include "a2a/tasks/task_record.h"
#include "registry/lock_publish.h"

namespace tessik {

// The task log could not be opened for appending or the write failed. The message is
// "could not write A2A task log: " followed by the path.
class TaskLogWriteError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Holds the task log's cross-process lock while it lives. Writers that derive a task's next
// record from its latest one (a reply, a cancellation, the outcome of a send) hold it from the
// read to the append, so that none of them writes over a change it did not see; plain appends
// and readers need no lock. Throws TaskLogWriteError ("could not lock A2A task log: <path>:
// <reason>") when the lock is not had within 10 seconds.
class TaskLogLock {
 public:
  explicit TaskLogLock(const std::filesystem::path& log_path);
  ~TaskLogLock();
  TaskLogLock(const TaskLogLock&) = delete;
  TaskLogLock& operator=(const TaskLogLock&) = delete;

 private:
  RegistryFileLock lock_;
};

// The task log of a request: the context's tasks path, or "a2a/tasks.jsonl" in the state
// directory when the context leaves it empty.
std::filesystem::path task_log_path(const GatewayContext& context);

// Appends the task's 1.0 document as one line, creating the parent directories first.
// Throws TaskLogWriteError, or std::filesystem::filesystem_error when the directories cannot
// be created. A log whose last line was cut short gets a line break first, so the cut line
// stays alone and the new record stays readable. Earlier lines are never touched.
void append_task_record(const std::filesystem::path& log_path, const TaskRecord& task);

// Appends `record` and a line break to the JSON Lines file `path`, creating its parent
// directories first (std::filesystem::filesystem_error when that fails). A file whose last line
// was cut short (a writer killed mid-line) gets a line break first, so only the cut line is
// lost. False when the file cannot be opened or written. Shared by every gateway log.
bool append_json_line(const std::filesystem::path& path, std::string_view record);

// The latest line whose id equals the trimmed `task_id`; nothing for an empty id.
std::optional<std::string> find_latest_task_line(const std::filesystem::path& log_path,
                                                 std::string_view task_id);

// For every task id its latest line, ordered by where that line stands (oldest first). Reads
// the whole log into a private index (see TaskLogIndex).
std::vector<std::string> read_latest_task_lines(const std::filesystem::path& log_path);

// An open task log; closes the stream when it goes.
struct TaskLogFileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using TaskLogFile = std::unique_ptr<std::FILE, TaskLogFileCloser>;

// The log opened for reading, unbuffered (readers bring their own buffers); null when it
// cannot be opened.
TaskLogFile open_task_log_for_reading(const std::filesystem::path& path);

// From this size on, the log is read ahead on a second thread while lines are visited.
inline constexpr std::uint64_t kTaskLogReadAheadFromBytes = 8u << 20;

// Calls `visit` for every non-empty trimmed line with its offset in the file, in file order
// and on the calling thread. `read_ahead_from_bytes` exists for tests.
void for_each_task_log_line(const std::filesystem::path& log_path,
                            const std::function<void(std::string_view, std::uint64_t)>& visit,
                            std::uint64_t read_ahead_from_bytes = kTaskLogReadAheadFromBytes);

// Visits the trimmed lines of `file` from byte `from` to its end, like for_each_task_log_line.
// The bytes after the last line break (a line being written, or one cut short) are visited as
// a line too when `unfinished` is null; otherwise they are copied there untrimmed and not
// visited. Returns the offset where those bytes start (the end of the file when there are
// none). Moves the stream's position.
std::uint64_t read_task_log_lines_from(
    std::FILE* file, std::uint64_t from,
    const std::function<void(std::string_view, std::uint64_t)>& visit, std::string* unfinished,
    std::uint64_t read_ahead_from_bytes = kTaskLogReadAheadFromBytes);

}  // namespace tessik
