// Test helper: one rate-limited send in its own process. Delays are scaled down 25 times so a
// burst takes a second or two; each served delay is appended to OUT_FILE as
// "<start_ns> <end_ns>" on the shared monotonic clock.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "base/text.h"
#include "pipeline/send_rate_limiter.h"
#include "platform/files.h"
#include "state/evidence_log.h"
#include "state/state_dir.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: rate_limit_child OUT_FILE MESSAGE_ID\n");
    return 2;
  }
  const std::string out_file = argv[1];
  tessik::SendRateLimitHooks hooks;
  hooks.sleep_for = [&](std::chrono::nanoseconds duration) {
    if (duration < std::chrono::seconds(1)) {
      std::this_thread::sleep_for(duration);  // a lock poll
      return;
    }
    const std::int64_t start = tessik::monotonic_now_ns();
    std::this_thread::sleep_for(duration / 25);
    const std::int64_t end = tessik::monotonic_now_ns();
    tessik::platform::append_to_file(out_file,
                                     std::to_string(start) + " " + std::to_string(end) + "\n");
  };
  tessik::EvidenceLog log(tessik::events_log_path());
  tessik::apply_send_rate_limit(log, argv[2], "relay-target", hooks);
  return 0;
}
