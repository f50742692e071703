// Process liveness and creation time from /proc: the start time in clock ticks since boot,
// plus the boot time, gives the creation time in Unix milliseconds.
#include "platform/process_identity.h"

#include <unistd.h>

#include <fstream>
#include <string>

#include "platform/posix/process/process_tree.h"

namespace tessik::platform {
namespace {

// The boot time in Unix seconds ("btime" of /proc/stat), or 0 when unknown.
std::int64_t boot_time_unix_seconds() {
  std::ifstream stat("/proc/stat");
  std::string key;
  while (stat >> key) {
    if (key == "btime") {
      std::int64_t seconds = 0;
      stat >> seconds;
      return stat ? seconds : 0;
    }
    stat.ignore(1 << 20, '\n');
  }
  return 0;
}

}  // namespace

ProcessStart query_process_start(std::uint32_t pid) {
  ProcessStart result;
  if (pid == 0 || pid > 0x7fffffffU) return result;
  std::uint64_t start_ticks = 0;
  char state = '\0';
  if (!posix::read_process_stat(static_cast<int>(pid), &start_ticks, nullptr, &state)) {
    return result;
  }
  if (state == 'Z' || state == 'X') return result;  // exited, not yet reaped
  const std::int64_t boot_seconds = boot_time_unix_seconds();
  const long ticks_per_second = ::sysconf(_SC_CLK_TCK);
  if (boot_seconds <= 0 || ticks_per_second <= 0) return result;
  result.running = true;
  result.started_at_unix_ms =
      boot_seconds * 1000 + static_cast<std::int64_t>(start_ticks) * 1000 / ticks_per_second;
  return result;
}

std::uint32_t current_process_id() {
  return static_cast<std::uint32_t>(::getpid());
}

}  // namespace tessik::platform
