// The send rate limiter: an escalating, never-refusing delay shared by every process of the
// user through a state file and a lock directory in the state directory's "runtime" folder.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string_view>

#include "state/evidence_log.h"

namespace tessik {

// The clock and the sleep the limiter uses. Tests replace them so that a burst of sends does
// not take minutes; empty members fall back to the real system clock and a real sleep.
struct SendRateLimitHooks {
  std::function<std::chrono::system_clock::time_point()> system_now;
  // Blocks for the duration (the delay itself and the 100 ms polls of a held lock).
  std::function<void(std::chrono::nanoseconds)> sleep_for;
};

// Delay in seconds for a burst count: 1 -> 1, 2 -> 10, 3 -> 30, 4 and above -> 60.
std::uint32_t send_rate_limit_delay_seconds(std::int32_t burst_count);

std::filesystem::path send_rate_limit_state_path();  // runtime/send-rate-limit.txt
std::filesystem::path send_rate_limit_lock_path();   // runtime/send-rate-limit.lock

// Holds the limiter's lock directory for its lifetime. Acquisition waits (polling every
// 100 ms, no overall time-out) while another holder's directory is at most 300 s old and
// breaks it when older. Throws std::runtime_error ("could not create rate-limit directory: ")
// or std::filesystem::filesystem_error when the path cannot be created as a directory.
class RateLimitLock {
 public:
  RateLimitLock(std::filesystem::path path, const SendRateLimitHooks& hooks);
  ~RateLimitLock();
  RateLimitLock(const RateLimitLock&) = delete;
  RateLimitLock& operator=(const RateLimitLock&) = delete;

 private:
  std::filesystem::path path_;
  bool held_ = false;
};

// Serves the delay for one send and records it: events "send_rate_limit_delay_started" and
// "send_rate_limit_delay_finished" in `log`, the new state in the state file. Blocks for the
// delay while holding the lock. Throws std::runtime_error when the runtime directory or the
// state cannot be written (after the delay has been served), and the log's own errors.
void apply_send_rate_limit(const EvidenceLog& log, std::string_view message_id,
                           std::string_view target, const SendRateLimitHooks& hooks = {});

}  // namespace tessik
