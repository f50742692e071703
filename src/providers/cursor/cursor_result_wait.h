// Waiting for the Cursor bridge extension to answer a command: the result file named after
// the command appearing in the results directory.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace tessik {

struct CursorResultWait {
  bool found = false;
  // "result_file_already_present", "result_file_created", "result_file_timeout", or a
  // failure of the change notification ("result_change_wait_*_failed dir=<path> error=<code>").
  std::string detail;
};

// Returns at once when `result_file` exists; otherwise sleeps on change notifications of its
// directory (which must exist) until the file appears or `timeout_ms` passes.
CursorResultWait wait_for_result_file(const std::filesystem::path& result_file,
                                      std::int64_t timeout_ms);

}  // namespace tessik
