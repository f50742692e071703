// Whether a process of a given id still runs and when it started, so that a record naming a
// process (pid plus start time) can be told apart from a later process that reuses the pid.
#pragma once

#include <cstdint>
#include <optional>

namespace tessik::platform {

struct ProcessStart {
  bool running = false;                 // the process exists and has not exited
  std::int64_t started_at_unix_ms = 0;  // its creation time, when running
};

// Looks `pid` up. A process that is gone, has exited (a zombie) or cannot be queried is not
// running. The creation time is accurate to about a second. Never throws.
ProcessStart query_process_start(std::uint32_t pid);

// The current process's id.
std::uint32_t current_process_id();

}  // namespace tessik::platform
