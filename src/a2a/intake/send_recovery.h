// Start-up recovery of sends that a stopped broker left half-done: every task still only
// submitted gets its final record, and hand-over files nobody will consume are dealt with.
#pragma once

#include <cstddef>
#include <filesystem>

namespace tessik {

struct SendRecoveryReport {
  std::size_t tasks_working = 0;        // a worker had taken the message
  std::size_t tasks_failed = 0;         // nothing shows that a worker took it
  std::size_t requests_resumed = 0;     // request files handed to a fresh worker
  std::size_t requests_removed = 0;     // request files that cannot be delivered
  std::size_t temporaries_removed = 0;  // publish temporaries whose writer is gone

  bool anything() const {
    return tasks_working + tasks_failed + requests_resumed + requests_removed +
               temporaries_removed !=
           0;
  }
};

// In this order: request files in the temporary directory that no worker holds are handed to a
// new worker when they are complete deliveries, and removed otherwise; then every task of
// `task_log` whose latest record is still submitted gets a final record: working with a
// recovery event when a request file or `delivery_log` shows that a worker took (or now takes)
// its message, failed otherwise; last, abandoned publish temporaries below `state_directory`
// are removed. Records written meanwhile by other processes are respected: a worker records
// its start before it removes its request file, so one of the two is always visible.
SendRecoveryReport recover_interrupted_sends(const std::filesystem::path& task_log,
                                             const std::filesystem::path& delivery_log,
                                             const std::filesystem::path& state_directory);

}  // namespace tessik
