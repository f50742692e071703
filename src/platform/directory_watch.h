// Waiting for entries to appear in a directory (directory change notifications), so that a
// process waiting for a file another process drops there wakes at once instead of polling.
#pragma once

#include <cstdint>
#include <filesystem>

namespace tessik::platform {

enum class DirectoryWaitStatus { changed, timed_out, failed };

// Watches one directory for names created, moved in or removed. Move-only; one thread at a
// time; closing or destroying it stops the watch. Errors are reported as codes (errno here).
class DirectoryWatch {
 public:
  DirectoryWatch() = default;
  DirectoryWatch(const DirectoryWatch&) = delete;
  DirectoryWatch& operator=(const DirectoryWatch&) = delete;
  DirectoryWatch(DirectoryWatch&& other) noexcept;
  DirectoryWatch& operator=(DirectoryWatch&& other) noexcept;
  ~DirectoryWatch() { close(); }

  // Starts watching the existing directory `directory`. False with `error_code` on failure.
  bool open(const std::filesystem::path& directory, int& error_code);
  void close();
  bool is_open() const { return handle_ >= 0; }

  // Waits up to `timeout_ms` (at least 1 ms is waited) for a change since the last re-arm.
  // A change stays signalled until rearm() consumes it.
  DirectoryWaitStatus wait(std::int64_t timeout_ms, int& error_code);
  // Consumes the pending notifications so that the next wait sees only newer changes.
  bool rearm(int& error_code);

 private:
  int handle_ = -1;
};

}  // namespace tessik::platform
