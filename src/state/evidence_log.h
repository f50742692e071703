// The evidence log: append-only JSON Lines records of string fields, rotated at 10 MiB under
// a cross-process maintenance mutex. Any number of EvidenceLog objects may name one file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/files.h"
#include "platform/named_mutex.h"

namespace tessik {

// Ordered (key, value) pairs of one record; keys are written as given, duplicates included.
using EvidenceFields = std::vector<std::pair<std::string, std::string>>;

inline constexpr std::uint64_t kEvidenceLogMaxBytes = 10'485'760;

// Raised when the log file cannot be opened for appending.
class EvidenceLogError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The process's open appender of `path`: the same object for the same path while it is among
// the few most recently asked for, so that a log written on every request is not opened on
// every request. Thread-safe. The appender itself notices a file replaced under its name.
std::shared_ptr<platform::AppendFile> shared_append_file(const std::filesystem::path& path);

class EvidenceLog {
 public:
  explicit EvidenceLog(std::filesystem::path path)
      : path_(std::move(path)), file_(shared_append_file(path_)) {}

  const std::filesystem::path& path() const { return path_; }

  // Writes {"event_type":..,"created_at":..,<fields>} and a line feed in one append.
  // Throws std::filesystem::filesystem_error when the parent cannot be created and
  // EvidenceLogError ("could not append evidence log: <path>") when the file cannot be opened.
  // Safe to call from several threads and processes at once. The file stays open between
  // appends of this object, its copies and other logs of the same path; the parent directory is created only when the
  // file cannot be opened without it.
  void append(std::string_view event_type, const EvidenceFields& fields) const;

 private:
  std::filesystem::path path_;
  std::shared_ptr<platform::AppendFile> file_;
};

// Renders one record line (with its final line feed) for `created_at`.
std::string format_evidence_record(std::string_view event_type, std::string_view created_at,
                                   const EvidenceFields& fields);

// Moves `path` to "<path>.1" (replacing it) when it is a regular file of at least `max_bytes`,
// under the maintenance mutex of "log-rotate:<path>". Skips when the mutex is not had in 30 s.
void rotate_log_if_needed(const std::filesystem::path& path, std::uint64_t max_bytes);

// FNV-1a (offset basis 1469598103934665603) over the ASCII-lower-cased key.
std::uint64_t maintenance_key_hash(std::string_view key);
// "TessikMaintenance-<decimal hash>".
std::string maintenance_mutex_name(std::string_view key);
// Waits up to 30 s for the maintenance mutex of `key`.
platform::NamedMutex acquire_maintenance_mutex(std::string_view key);

}  // namespace tessik
