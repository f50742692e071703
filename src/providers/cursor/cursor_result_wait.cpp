// The result wait: check, sleep on the directory's change notification, re-arm, check again.
#include "providers/cursor/cursor_result_wait.h"

#include <system_error>

#include "base/text.h"
#include "platform/directory_watch.h"

namespace tessik {
namespace {

constexpr std::int64_t kNsPerMs = 1'000'000;

bool present(const std::filesystem::path& file) {
  std::error_code ignored;
  return std::filesystem::exists(file, ignored);
}

CursorResultWait failed(const char* step, const std::filesystem::path& directory, int code) {
  return {false,
          std::string(step) + " dir=" + directory.string() + " error=" + std::to_string(code)};
}

}  // namespace

CursorResultWait wait_for_result_file(const std::filesystem::path& result_file,
                                      std::int64_t timeout_ms) {
  if (present(result_file)) return {true, "result_file_already_present"};
  const std::filesystem::path directory = result_file.parent_path();
  const std::int64_t deadline = monotonic_now_ns() + timeout_ms * kNsPerMs;
  platform::DirectoryWatch watch;
  int code = 0;
  if (!watch.open(directory, code)) {
    return failed("result_change_wait_create_failed", directory, code);
  }
  for (;;) {
    // Checked after the watch is armed, so a file created in between is not missed.
    if (present(result_file)) return {true, "result_file_created"};
    const std::int64_t left_ns = deadline - monotonic_now_ns();
    if (left_ns <= 0) return {false, "result_file_timeout"};
    const std::int64_t left_ms = (left_ns + kNsPerMs - 1) / kNsPerMs;
    if (watch.wait(left_ms, code) == platform::DirectoryWaitStatus::failed) {
      return failed("result_change_wait_failed", directory, code);
    }
    if (!watch.rearm(code)) return failed("result_change_wait_rearm_failed", directory, code);
  }
}

}  // namespace tessik
