// Evidence log records and rotation. The record bytes and the mutex name are file formats
// shared with other processes, so both are built by hand rather than by a JSON library.
#include "state/evidence_log.h"

#include <algorithm>
#include <mutex>
#include <system_error>

#include "base/fnv1a.h"
#include "base/text.h"
#include "platform/files.h"

namespace tessik {
namespace fs = std::filesystem;

namespace {

// Few logs are written per process; more paths than this (test runs with many state
// directories) only close the least recently used appender.
constexpr std::size_t kSharedAppendFiles = 8;

struct SharedAppendFiles {
  std::mutex mutex;
  std::vector<std::shared_ptr<platform::AppendFile>> recent;  // most recently used first
};

SharedAppendFiles& shared_append_files() {
  static SharedAppendFiles files;
  return files;
}

}  // namespace

std::shared_ptr<platform::AppendFile> shared_append_file(const fs::path& path) {
  SharedAppendFiles& files = shared_append_files();
  const std::lock_guard lock(files.mutex);
  auto& recent = files.recent;
  auto found = std::find_if(recent.begin(), recent.end(),
                            [&](const auto& file) { return file->path() == path; });
  if (found == recent.end()) {
    if (recent.size() == kSharedAppendFiles) recent.pop_back();
    recent.insert(recent.begin(), std::make_shared<platform::AppendFile>(path));
  } else {
    std::rotate(recent.begin(), found, found + 1);
  }
  return recent.front();
}

std::string format_evidence_record(std::string_view event_type, std::string_view created_at,
                                   const EvidenceFields& fields) {
  std::string line = "{\"event_type\":\"";
  append_json_escaped(line, event_type);
  line += "\",\"created_at\":\"";
  append_json_escaped(line, created_at);
  line += '"';
  for (const auto& [key, value] : fields) {
    line += ",\"";
    append_json_escaped(line, key);
    line += "\":\"";
    append_json_escaped(line, value);
    line += '"';
  }
  line += "}\n";
  return line;
}

void EvidenceLog::append(std::string_view event_type, const EvidenceFields& fields) const {
  rotate_log_if_needed(path_, kEvidenceLogMaxBytes);
  const std::string line = format_evidence_record(event_type, utc_timestamp_now(), fields);
  if (file_->append(line)) return;
  // The usual reason is a directory that does not exist yet: made once, then one more try.
  const fs::path parent = path_.parent_path();
  if (!parent.empty()) {
    std::error_code error;
    platform::create_private_directories(parent, error);
    if (error) throw fs::filesystem_error("create_directories", parent, error);
  }
  if (!file_->append(line)) {
    throw EvidenceLogError("could not append evidence log: " + path_.string());
  }
}

std::uint64_t maintenance_key_hash(std::string_view key) {
  // Not the usual offset basis: every process that names the mutex must use this one.
  return fnv1a_64(ascii_lower(key), 1469598103934665603ULL);
}

std::string maintenance_mutex_name(std::string_view key) {
  return "TessikMaintenance-" + std::to_string(maintenance_key_hash(key));
}

platform::NamedMutex acquire_maintenance_mutex(std::string_view key) {
  return platform::NamedMutex::acquire(maintenance_mutex_name(key), 30'000);
}

void rotate_log_if_needed(const fs::path& path, std::uint64_t max_bytes) {
  if (path.empty() || max_bytes == 0) return;
  // Nearly every call finds the log small: one look at its size spares the mutex. The size is
  // checked again under the mutex, where the decision is made.
  std::error_code unlocked_error;
  const std::uintmax_t unlocked_size = fs::file_size(path, unlocked_error);
  if (unlocked_error || unlocked_size < max_bytes) return;
  std::string key = "log-rotate:" + path.lexically_normal().generic_string();
  for (char& c : key) {
    if (c == '\\') c = '/';
  }
  platform::NamedMutex mutex = acquire_maintenance_mutex(key);
  if (!mutex.acquired()) return;

  std::error_code error;
  if (!fs::is_regular_file(path, error)) return;
  const std::uintmax_t size = fs::file_size(path, error);
  if (error || size < max_bytes) return;
  platform::create_private_directories(path.parent_path(), error);
  fs::path rotated = path;
  rotated += ".1";
  fs::remove(rotated, error);
  fs::rename(path, rotated, error);
  if (error) fs::resize_file(path, 0, error);
}

}  // namespace tessik
