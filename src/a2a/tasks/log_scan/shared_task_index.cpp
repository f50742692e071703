// The broker's indexes of the task logs it serves, one per log path, kept across requests so
// that a request reads only what was appended since the one before.
#include <list>
#include <memory>
#include <mutex>

#include "a2a/tasks/log_scan/task_index.h"
#include "base/text.h"

namespace tessik {
namespace {

// A broker serves one log; tests and benchmarks open a few. Past this many, the least
// recently used index goes and its memory with it.
constexpr std::size_t kMaxSharedIndexes = 4;

struct SharedIndex {
  explicit SharedIndex(const std::filesystem::path& path) : index(path) {}
  std::mutex mutex;
  TaskLogIndex index;
};

struct SharedIndexes {
  std::mutex mutex;
  std::list<std::shared_ptr<SharedIndex>> by_use;  // most recently used first
};

SharedIndexes& shared_indexes() {
  static SharedIndexes* const indexes = new SharedIndexes();  // outlives every static user
  return *indexes;
}

std::shared_ptr<SharedIndex> shared_index_of(const std::filesystem::path& log_path) {
  SharedIndexes& indexes = shared_indexes();
  const std::lock_guard lock(indexes.mutex);
  for (auto it = indexes.by_use.begin(); it != indexes.by_use.end(); ++it) {
    if ((*it)->index.log_path() == log_path) {
      indexes.by_use.splice(indexes.by_use.begin(), indexes.by_use, it);
      return indexes.by_use.front();
    }
  }
  indexes.by_use.push_front(std::make_shared<SharedIndex>(log_path));
  if (indexes.by_use.size() > kMaxSharedIndexes) indexes.by_use.pop_back();
  return indexes.by_use.front();
}

void drop_shared_index(const std::shared_ptr<SharedIndex>& shared) {
  SharedIndexes& indexes = shared_indexes();
  const std::lock_guard lock(indexes.mutex);
  indexes.by_use.remove(shared);
}

}  // namespace

void with_task_log_index(const std::filesystem::path& log_path,
                         const std::function<void(const TaskLogIndex&)>& use) {
  const std::shared_ptr<SharedIndex> shared = shared_index_of(log_path);
  const std::lock_guard lock(shared->mutex);
  try {
    shared->index.refresh();
  } catch (...) {
    // Half-applied lines leave the index unusable; the next request builds a new one.
    drop_shared_index(shared);
    throw;
  }
  use(shared->index);
}

std::optional<std::string> find_latest_task_line_indexed(const std::filesystem::path& log_path,
                                                         std::string_view task_id) {
  const std::string wanted = trim(task_id);
  std::optional<std::string> latest;
  if (wanted.empty()) return latest;
  with_task_log_index(log_path, [&](const TaskLogIndex& index) {
    const std::optional<std::uint32_t> slot = index.find(wanted);
    if (!slot) return;
    std::vector<std::string> lines = index.read_lines({*slot});
    if (!lines.front().empty()) latest = std::move(lines.front());
  });
  return latest;
}

}  // namespace tessik
