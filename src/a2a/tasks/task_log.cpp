// Reading goes through one reused buffer so that a large log costs one sequential pass and
// no per-line allocation beyond what the caller keeps.
#include "a2a/tasks/task_log.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <system_error>

#include "a2a/tasks/log_scan/chunk_read_ahead.h"
#include "a2a/tasks/task_json.h"
#include "a2a/tasks/log_scan/task_line_scan.h"
#include "base/text.h"
#include "platform/files.h"
#include "state/state_dir.h"

namespace tessik {
namespace {

constexpr std::size_t kReadChunk = 1 << 18;
constexpr std::int64_t kTaskLogLockTimeoutNs = 10'000'000'000;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

FilePtr open_for_reading(const std::filesystem::path& path) {
  FilePtr file(platform::open_file_for_reading(path));
  if (file) std::setvbuf(file.get(), nullptr, _IONBF, 0);
  return file;
}

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

// Lines are visited inside the chunks; only a line that runs over a chunk's end is copied.
void visit_read_ahead(ChunkReadAhead& chunks,
                      const std::function<void(std::string_view, std::uint64_t)>& visit) {
  std::string carried;           // the start of a line that goes on in the next chunk
  std::uint64_t carried_at = 0;  // its file offset
  std::uint64_t chunk_at = 0;    // file offset of the chunk's first byte
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
  if (!carried.empty()) visit_trimmed(carried, carried_at, visit);
}

// True when the file exists, is not empty and does not end with a line break.
bool ends_mid_line(const std::filesystem::path& path) {
  FilePtr file = open_for_reading(path);
  if (!file || std::fseek(file.get(), -1, SEEK_END) != 0) return false;
  return std::fgetc(file.get()) != '\n';
}

}  // namespace

void for_each_task_log_line(const std::filesystem::path& log_path,
                            const std::function<void(std::string_view, std::uint64_t)>& visit,
                            std::uint64_t read_ahead_from_bytes) {
  FilePtr file = open_for_reading(log_path);
  if (!file) return;
  std::error_code ignored;
  const std::uintmax_t file_bytes = std::filesystem::file_size(log_path, ignored);
  const bool sized = file_bytes != static_cast<std::uintmax_t>(-1);
  if (sized && file_bytes >= read_ahead_from_bytes) {
    std::unique_ptr<ChunkReadAhead> chunks;
    try {
      chunks = std::make_unique<ChunkReadAhead>(file.get(), kReadChunk);
    } catch (const std::system_error&) {
      // No second thread to be had: the same lines, read on this one.
    }
    if (chunks) return visit_read_ahead(*chunks, visit);
  }
  // Sized to the file when it is small and never zero-filled: most calls read a short log,
  // and touching a fresh megabyte costs more than reading one.
  std::size_t capacity =
      sized ? static_cast<std::size_t>(std::clamp<std::uintmax_t>(file_bytes + 1, 4096, kReadChunk))
            : kReadChunk;
  std::unique_ptr<char[]> buffer = std::make_unique_for_overwrite<char[]>(capacity);
  std::size_t filled = 0;       // bytes of buffer holding unread data
  std::uint64_t buffer_at = 0;  // file offset of buffer[0]
  while (true) {
    if (filled == capacity) {  // one very long line
      std::unique_ptr<char[]> larger = std::make_unique_for_overwrite<char[]>(capacity * 2);
      std::memcpy(larger.get(), buffer.get(), filled);
      buffer = std::move(larger);
      capacity *= 2;
    }
    const std::size_t got = std::fread(buffer.get() + filled, 1, capacity - filled, file.get());
    const bool at_end = got == 0;
    filled += got;
    const std::size_t start =
        visit_complete_lines(std::string_view(buffer.get(), filled), buffer_at, visit);
    if (at_end) {
      if (start < filled) {
        visit_trimmed(std::string_view(buffer.get() + start, filled - start), buffer_at + start,
                      visit);
      }
      return;
    }
    std::memmove(buffer.get(), buffer.get() + start, filled - start);
    filled -= start;
    buffer_at += start;
  }
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
  return platform::append_to_file(path, line);
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

std::vector<std::string> read_task_lines_at(const std::filesystem::path& log_path,
                                            const std::vector<const LatestTaskLine*>& lines) {
  std::vector<std::string> texts(lines.size());
  FilePtr file = open_for_reading(log_path);
  if (!file) return texts;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::string text(lines[i]->length, '\0');
    if (std::fseek(file.get(), static_cast<long>(lines[i]->offset), SEEK_SET) == 0 &&
        std::fread(text.data(), 1, text.size(), file.get()) == text.size()) {
      texts[i] = std::move(text);
    }
  }
  return texts;
}

std::vector<std::string> read_latest_task_lines(const std::filesystem::path& log_path) {
  const LatestTaskLines latest(log_path);
  std::vector<const LatestTaskLine*> wanted;
  wanted.reserve(latest.lines().size());
  for (const LatestTaskLine& line : latest.lines())
    wanted.push_back(&line);
  return read_task_lines_at(log_path, wanted);
}

}  // namespace tessik
