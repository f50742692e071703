// Following an append-only JSON Lines log across calls: reading only the lines appended since
// the last look, noticing a log that was replaced, shortened or rewritten in place, and keeping
// one follower per log path for the whole process.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "a2a/tasks/task_log.h"

namespace tessik {

// Where a reader of one log stands: the file it read (device and inode), the offset after the
// last line break it read, and the bytes just before that offset. Not thread-safe.
class AppendedLogReader {
 public:
  // Opens the log for reading. `restarted` is set when what was read before no longer holds
  // (first look, another file, a shorter file, changed bytes before the offset, or a log that
  // is gone): the caller then forgets what it learnt, and reading starts at the beginning.
  // Null when the log cannot be opened.
  TaskLogFile open(const std::filesystem::path& path, bool& restarted);

  // Visits the complete lines after the offset (trimmed, non-empty, with their offsets) and
  // moves the offset past them. The bytes after the last line break are copied to
  // `unfinished`, untrimmed and unvisited; returns their offset. Moves the stream's position.
  std::uint64_t read_appended(std::FILE* file,
                              const std::function<void(std::string_view, std::uint64_t)>& visit,
                              std::string& unfinished);

  // The size of the file at the last open (0 before one).
  std::uint64_t size() const { return size_; }

 private:
  bool still_extends(std::FILE* file, std::uint64_t size) const;
  void remember_fingerprint(std::FILE* file);
  void forget();

  std::optional<std::uint64_t> device_;
  std::uint64_t inode_ = 0;
  std::uint64_t size_ = 0;
  std::uint64_t complete_end_ = 0;  // offset after the last line break read
  std::string fingerprint_;         // the bytes just before complete_end_
};

// The process's followers of a few logs, one `View` per log path, each behind its own lock.
// `View` is constructed from the path and has `log_path()`. A process serves one log of each
// kind; tests and benchmarks open a few, and past `kMax` the least recently used view goes.
template <typename View, std::size_t kMax = 4>
class SharedLogViews {
 public:
  // Runs `use` on the view of `log_path` while holding its lock. An exception of `use` drops
  // the view (it may be half updated) and passes through.
  template <typename Use>
  void with(const std::filesystem::path& log_path, Use&& use) {
    const std::shared_ptr<Entry> entry = entry_of(log_path);
    const std::lock_guard lock(entry->mutex);
    try {
      use(entry->view);
    } catch (...) {
      drop(entry);
      throw;
    }
  }

 private:
  struct Entry {
    explicit Entry(const std::filesystem::path& path) : view(path) {}
    std::mutex mutex;
    View view;
  };

  std::shared_ptr<Entry> entry_of(const std::filesystem::path& log_path) {
    const std::lock_guard lock(mutex_);
    for (auto it = by_use_.begin(); it != by_use_.end(); ++it) {
      if ((*it)->view.log_path() == log_path) {
        by_use_.splice(by_use_.begin(), by_use_, it);
        return by_use_.front();
      }
    }
    by_use_.push_front(std::make_shared<Entry>(log_path));
    if (by_use_.size() > kMax) by_use_.pop_back();
    return by_use_.front();
  }

  void drop(const std::shared_ptr<Entry>& entry) {
    const std::lock_guard lock(mutex_);
    by_use_.remove(entry);
  }

  std::mutex mutex_;
  std::list<std::shared_ptr<Entry>> by_use_;  // most recently used first
};

}  // namespace tessik
