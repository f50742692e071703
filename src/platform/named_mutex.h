// Cross-process named mutex, the substitute of a session-local named Windows mutex.
// On POSIX it is an exclusive lock on "<name>.lock" in the pipe directory; a holder that
// died releases it (that counts as acquired).
#pragma once

#include <cstdint>
#include <string>

namespace tessik::platform {

class NamedMutex {
 public:
  NamedMutex() = default;
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;
  NamedMutex(NamedMutex&& other) noexcept;
  NamedMutex& operator=(NamedMutex&& other) noexcept;
  ~NamedMutex();  // releases the mutex when held

  bool acquired() const { return handle_ >= 0; }
  void release();

  // Waits up to `timeout_ms` for the mutex named `name` (a file name, no separators).
  // Returns a not-acquired object when the lock file cannot be opened or the wait times out.
  static NamedMutex acquire(const std::string& name, std::uint32_t timeout_ms);

 private:
  int handle_ = -1;
};

}  // namespace tessik::platform
