// Reading what was appended to a log since the last look, and telling growth from a rewrite.
#include "a2a/tasks/log_scan/appended_log.h"

#include <algorithm>

#include "platform/files.h"

namespace tessik {
namespace {

// Bytes before the offset compared on every open: a log rewritten in place (same file, not
// shorter) is caught by its changed bytes there.
constexpr std::size_t kFingerprintBytes = 64;

}  // namespace

TaskLogFile AppendedLogReader::open(const std::filesystem::path& path, bool& restarted) {
  TaskLogFile file = open_task_log_for_reading(path);
  const std::optional<platform::FileIdentity> identity =
      file ? platform::file_identity(file.get()) : std::nullopt;
  restarted = !identity || !device_ || *device_ != identity->device ||
              inode_ != identity->inode || !still_extends(file.get(), identity->size);
  if (restarted) {
    forget();
    if (identity) {
      device_ = identity->device;
      inode_ = identity->inode;
    }
  }
  size_ = identity ? identity->size : 0;
  return file;
}

std::uint64_t AppendedLogReader::read_appended(
    std::FILE* file, const std::function<void(std::string_view, std::uint64_t)>& visit,
    std::string& unfinished) {
  complete_end_ = read_task_log_lines_from(file, complete_end_, visit, &unfinished);
  remember_fingerprint(file);
  return complete_end_;
}

bool AppendedLogReader::still_extends(std::FILE* file, std::uint64_t size) const {
  if (size < complete_end_) return false;
  const std::uint64_t from = complete_end_ - fingerprint_.size();
  std::string now(fingerprint_.size(), '\0');
  return std::fseek(file, static_cast<long>(from), SEEK_SET) == 0 &&
         std::fread(now.data(), 1, now.size(), file) == now.size() && now == fingerprint_;
}

void AppendedLogReader::remember_fingerprint(std::FILE* file) {
  const std::uint64_t length = std::min<std::uint64_t>(complete_end_, kFingerprintBytes);
  fingerprint_.assign(length, '\0');
  if (std::fseek(file, static_cast<long>(complete_end_ - length), SEEK_SET) != 0 ||
      std::fread(fingerprint_.data(), 1, length, file) != length) {
    device_.reset();  // unreadable now: the next open starts over
  }
}

void AppendedLogReader::forget() {
  device_.reset();
  inode_ = 0;
  size_ = 0;
  complete_end_ = 0;
  fingerprint_.clear();
}

}  // namespace tessik
