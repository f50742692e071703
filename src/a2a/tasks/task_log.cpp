// Reading goes through one reused buffer so that a large log costs one sequential pass and
// no per-line allocation beyond what the caller keeps.
#include "a2a/tasks/task_log.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <system_error>

#include "a2a/tasks/log_scan/chunk_read_ahead.h"
#include "a2a/tasks/task_json.h"
#include "a2a/tasks/log_scan/task_line_scan.h"
#include "base/text.h"
#include "platform/files.h"
#include "state/evidence_log.h"
#include "state/state_dir.h"

namespace tessik {

TaskLogFile open_task_log_for_reading(const std::filesystem::path& path) {
  TaskLogFile file(platform::open_file_for_reading(path));
  if (file) std::setvbuf(file.get(), nullptr, _IONBF, 0);
  return file;
}

namespace {

constexpr std::size_t kReadChunk = 1 << 18;
constexpr std::int64_t kTaskLogLockTimeoutNs = 10'000'000'000;


bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

void visit_trimmed(std::string_view line, std::uint64_t offset,
                   const std::function<void(std::string_view, std::uint64_t)>& visit) {
  std::size_t begin = 0;
  std::size_t end = line.size();
  while (begin < end && is_space(line[begin]))
    ++begin;
  while (end > begin && is_space(line[end - 1]))
    --end;
  if (begin < end) visit(line.substr(begin, end - begin), offset + begin);
}

// Visits every line of `text` that a line break ends; returns where the unfinished rest
// starts. `at` is the file offset of text[0].
std::size_t visit_complete_lines(
    std::string_view text, std::uint64_t at,
    const std::function<void(std::string_view, std::uint64_t)>& visit) {
  std::size_t start = 0;
  while (start < text.size()) {
    const void* newline = std::memchr(text.data() + start, '\n', text.size() - start);
    if (newline == nullptr) break;
    const std::size_t stop = static_cast<const char*>(newline) - text.data();
    visit_trimmed(text.substr(start, stop - start), at + start, visit);
    start = stop + 1;
  }
  return start;
}

// What is left after the last line break: visited as a line of its own, or handed back.
std::uint64_t finish_rest(std::string_view rest, std::uint64_t at,
                          const std::function<void(std::string_view, std::uint64_t)>& visit,
                          std::string* unfinished) {
  if (unfinished != nullptr) {
    unfinished->assign(rest);
  } else if (!rest.empty()) {
    visit_trimmed(rest, at, visit);
  }
  return at;
}

// Lines are visited inside the chunks; only a line that runs over a chunk's end is copied.
std::uint64_t visit_read_ahead(ChunkReadAhead& chunks, std::uint64_t from,
                               const std::function<void(std::string_view, std::uint64_t)>& visit,
                               std::string* unfinished) {
  std::string carried;              // the start of a line that goes on in the next chunk
  std::uint64_t carried_at = from;  // its file offset
  std::uint64_t chunk_at = from;    // file offset of the chunk's first byte
  for (std::string_view chunk = chunks.next(); !chunk.empty(); chunk = chunks.next()) {
    std::size_t start = 0;
    if (!carried.empty()) {
      const void* newline = std::memchr(chunk.data(), '\n', chunk.size());
      const std::size_t stop =
          newline == nullptr ? chunk.size() : static_cast<const char*>(newline) - chunk.data();
      carried.append(chunk.data(), stop);
      if (newline != nullptr) {
        visit_trimmed(carried, carried_at, visit);
        carried.clear();
        start = stop + 1;
      } else {
        start = chunk.size();
      }
    }
    if (carried.empty() && start < chunk.size()) {
      start += visit_complete_lines(chunk.substr(start), chunk_at + start, visit);
      if (start < chunk.size()) {
        carried_at = chunk_at + start;
        carried.assign(chunk.data() + start, chunk.size() - start);
      }
    }
    chunk_at += chunk.size();
  }
  if (carried.empty()) carried_at = chunk_at;
  return finish_rest(carried, carried_at, visit, unfinished);
}

// True when the file exists, is not empty and does not end with a line break.
bool ends_mid_line(const std::filesystem::path& path) {
  TaskLogFile file = open_task_log_for_reading(path);
  if (!file || std::fseek(file.get(), -1, SEEK_END) != 0) return false;
  return std::fgetc(file.get()) != '\n';
}

}  // namespace

std::uint64_t read_task_log_lines_from(
    std::FILE* file, std::uint64_t from,
    const std::function<void(std::string_view, std::uint64_t)>& visit, std::string* unfinished,
    std::uint64_t read_ahead_from_bytes) {
  if (unfinished != nullptr) unfinished->clear();
  if (file == nullptr || std::fseek(file, static_cast<long>(from), SEEK_SET) != 0) return from;
  const std::optional<platform::FileIdentity> identity = platform::file_identity(file);
  const bool sized = identity.has_value() && identity->size >= from;
  const std::uint64_t new_bytes = sized ? identity->size - from : 0;
  if (sized && new_bytes >= read_ahead_from_bytes) {
    std::unique_ptr<ChunkReadAhead> chunks;
    try {
      chunks = std::make_unique<ChunkReadAhead>(file, kReadChunk);
    } catch (const std::system_error&) {
      // No second thread to be had: the same lines, read on this one.
    }
    if (chunks) return visit_read_ahead(*chunks, from, visit, unfinished);
  }
  // Sized to the new bytes when they are few and never zero-filled: most calls read a short
  // stretch, and touching a fresh megabyte costs more than reading one.
  std::size_t capacity =
      sized ? static_cast<std::size_t>(std::clamp<std::uint64_t>(new_bytes + 1, 4096, kReadChunk))
            : kReadChunk;
  std::unique_ptr<char[]> buffer = std::make_unique_for_overwrite<char[]>(capacity);
  std::size_t filled = 0;         // bytes of buffer holding unread data
  std::uint64_t buffer_at = from;  // file offset of buffer[0]
  while (true) {
    if (filled == capacity) {  // one very long line
      std::unique_ptr<char[]> larger = std::make_unique_for_overwrite<char[]>(capacity * 2);
      std::memcpy(larger.get(), buffer.get(), filled);
      buffer = std::move(larger);
      capacity *= 2;
    }
    const std::size_t got = std::fread(buffer.get() + filled, 1, capacity - filled, file);
    filled += got;
    const std::size_t start =
        visit_complete_lines(std::string_view(buffer.get(), filled), buffer_at, visit);
    if (got == 0) {
      return finish_rest(std::string_view(buffer.get() + start, filled - start),
                         buffer_at + start, visit, unfinished);
    }
    std::memmove(buffer.get(), buffer.get() + start, filled - start);
    filled -= start;
    buffer_at += start;
  }
}

void for_each_task_log_line(const std::filesystem::path& log_path,
                            const std::function<void(std::string_view, std::uint64_t)>& visit,
                            std::uint64_t read_ahead_from_bytes) {
  TaskLogFile file = open_task_log_for_reading(log_path);
  if (file) read_task_log_lines_from(file.get(), 0, visit, nullptr, read_ahead_from_bytes);
}

TaskLogLock::TaskLogLock(const std::filesystem::path& log_path) {
  std::string error;
  const RegistryStatus status =
      lock_registry_file(log_path, RegistryDeadline::after(kTaskLogLockTimeoutNs), lock_, error);
  if (status != RegistryStatus::unchanged) {
    unlock_registry_file(lock_);
    throw TaskLogWriteError("could not lock A2A task log: " + log_path.string() + ": " +
                            (error.empty() ? registry_status_word(status) : error));
  }
}

TaskLogLock::~TaskLogLock() {
  unlock_registry_file(lock_);
}

std::filesystem::path task_log_path(const GatewayContext& context) {
  if (!context.tasks_path.empty()) return context.tasks_path;
  return a2a_directory() / "tasks.jsonl";
}

bool append_json_line(const std::filesystem::path& path, std::string_view record) {
  if (path.has_parent_path()) {
    std::error_code error;
    platform::create_private_directories(path.parent_path(), error);
    if (error) {
      throw std::filesystem::filesystem_error("create_directories", path.parent_path(), error);
    }
  }
  std::string line;
  line.reserve(record.size() + 2);
  if (ends_mid_line(path)) line += '\n';
  line += record;
  line += '\n';
  return shared_append_file(path)->append(line);
}

void append_task_record(const std::filesystem::path& log_path, const TaskRecord& task) {
  if (!append_json_line(log_path, task_to_json_v1(task))) {
    throw TaskLogWriteError("could not write A2A task log: " + log_path.string());
  }
}

std::optional<std::string> find_latest_task_line(const std::filesystem::path& log_path,
                                                 std::string_view task_id) {
  const std::string wanted = trim(task_id);
  std::optional<std::string> latest;
  if (wanted.empty()) return latest;
  const std::boyer_moore_horspool_searcher searcher(wanted.begin(), wanted.end());
  for_each_task_log_line(log_path, [&](std::string_view line, std::uint64_t) {
    // An id can only match when its text appears, unless the line spells it with escapes.
    if (std::search(line.begin(), line.end(), searcher) == line.end() &&
        line.find('\\') == std::string_view::npos) {
      return;
    }
    const std::optional<TaskLineSummary> summary = scan_task_line(line);
    if (summary && summary->id == wanted) latest = std::string(line);
  });
  return latest;
}

}  // namespace tessik
