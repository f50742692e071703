// Send rate limiter. Directory creation is the one atomic test-and-set every process of the
// user shares without extra machinery, so the lock is a directory and its age decides staleness.
#include "pipeline/send_rate_limiter.h"

#include <algorithm>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

#include "platform/files.h"
#include "registry/lock_publish.h"
#include "state/state_dir.h"

namespace tessik {
namespace fs = std::filesystem;
namespace {

using Ticks100ns = std::chrono::duration<std::int64_t, std::ratio<1, 10'000'000>>;

constexpr auto kLockPollInterval = std::chrono::milliseconds(100);
constexpr auto kStaleLockAge = std::chrono::seconds(300);
constexpr std::int64_t kQuietTicks = 599'999'999;  // 60 s in 100 ns units, exclusive
constexpr std::int32_t kMaxBurst = 5;

std::chrono::system_clock::time_point now_of(const SendRateLimitHooks& hooks) {
  return hooks.system_now ? hooks.system_now() : std::chrono::system_clock::now();
}

void sleep_of(const SendRateLimitHooks& hooks, std::chrono::nanoseconds duration) {
  if (hooks.sleep_for) {
    hooks.sleep_for(duration);
    return;
  }
  const auto start = std::chrono::steady_clock::now();
  const auto room = std::chrono::steady_clock::time_point::max() - start;
  const auto deadline =
      duration >= room
          ? std::chrono::steady_clock::time_point::max()
          : start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(duration);
  std::this_thread::sleep_until(deadline);
}

// Removes a lock directory that outlived its holder. Another waiter may break it at the same
// time, so a directory that is already gone is not an error.
void break_stale_lock(const fs::path& path) {
  for (int attempt = 0; attempt < 10; ++attempt) {
    std::error_code error;
    fs::remove(path, error);
    if (!error || error == std::errc::no_such_file_or_directory) return;
    if (error != std::errc::directory_not_empty && error != std::errc::permission_denied) return;
    for (const auto& entry : fs::directory_iterator(path, error)) {
      std::error_code ignored;
      fs::remove_all(entry.path(), ignored);
    }
  }
}

struct RateState {
  std::int32_t previous_count = 0;
  bool reset = true;
};

RateState read_state(const fs::path& path, std::chrono::system_clock::time_point now) {
  std::ifstream in(path);
  std::int64_t stored_seconds = 0;
  std::int32_t stored_count = 0;
  if (!in || !(in >> stored_seconds >> stored_count)) return {};
  const std::int64_t now_ticks =
      std::chrono::duration_cast<Ticks100ns>(now.time_since_epoch()).count();
  constexpr std::int64_t kTicksPerSecond = 10'000'000;
  constexpr std::int64_t kLimit = std::numeric_limits<std::int64_t>::max() / kTicksPerSecond;
  const std::int64_t stored_ticks = std::clamp(stored_seconds, -kLimit, kLimit) * kTicksPerSecond;
  // Both values lie well inside the 64-bit range, so the difference cannot overflow.
  if (now_ticks - stored_ticks > kQuietTicks) return {};
  return {std::max<std::int32_t>(stored_count, 0), false};
}

void write_state(const fs::path& path, std::chrono::system_clock::time_point now,
                 std::int32_t burst) {
  std::error_code error;
  platform::create_private_directories(path.parent_path(), error);
  if (error) {
    throw std::runtime_error("could not create rate-limit directory: " +
                             path.parent_path().string());
  }
  const auto seconds = std::chrono::floor<std::chrono::seconds>(now.time_since_epoch()).count();
  try {
    publish_file_atomically(path, std::to_string(seconds) + ' ' + std::to_string(burst) + '\n',
                            "rate-limit state");
  } catch (const RegistryError&) {
    throw std::runtime_error("could not write rate-limit state: " + path.string());
  }
}

}  // namespace

std::uint32_t send_rate_limit_delay_seconds(std::int32_t burst_count) {
  if (burst_count <= 1) return 1;
  if (burst_count == 2) return 10;
  if (burst_count == 3) return 30;
  return 60;
}

fs::path send_rate_limit_state_path() {
  return resolve_state_directory() / "runtime" / "send-rate-limit.txt";
}

fs::path send_rate_limit_lock_path() {
  return resolve_state_directory() / "runtime" / "send-rate-limit.lock";
}

RateLimitLock::RateLimitLock(fs::path path, const SendRateLimitHooks& hooks)
    : path_(std::move(path)) {
  std::error_code error;
  platform::create_private_directories(path_.parent_path(), error);
  if (error) throw std::runtime_error("could not create rate-limit directory: " + error.message());
  for (;;) {
    if (platform::create_private_directory(path_, error)) {
      held_ = true;
      return;
    }
    if (error && error != std::errc::file_exists) {
      throw fs::filesystem_error("create_directory", path_, error);
    }
    std::error_code inspect;
    const fs::file_status status = fs::symlink_status(path_, inspect);
    if (status.type() == fs::file_type::not_found) continue;  // released meanwhile
    if (status.type() != fs::file_type::directory) {
      throw fs::filesystem_error("exists", path_, std::make_error_code(std::errc::file_exists));
    }
    const auto written = fs::last_write_time(path_, inspect);
    if (inspect) continue;  // released between the two looks
    if (fs::file_time_type::clock::now() - written <= kStaleLockAge) {
      sleep_of(hooks, kLockPollInterval);
    } else {
      break_stale_lock(path_);
    }
  }
}

RateLimitLock::~RateLimitLock() {
  if (!held_) return;
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

void apply_send_rate_limit(const EvidenceLog& log, std::string_view message_id,
                           std::string_view target, const SendRateLimitHooks& hooks) {
  RateLimitLock lock(send_rate_limit_lock_path(), hooks);
  const fs::path state_path = send_rate_limit_state_path();
  const RateState state = read_state(state_path, now_of(hooks));
  const std::int32_t burst = std::min<std::int32_t>(state.previous_count, kMaxBurst - 1) + 1;
  const std::uint32_t delay = send_rate_limit_delay_seconds(burst);
  const EvidenceFields fields = {{"message_id", std::string(message_id)},
                                 {"target", std::string(target)},
                                 {"burst_count", std::to_string(burst)},
                                 {"delay_seconds", std::to_string(delay)},
                                 {"reset_applied", state.reset ? "true" : "false"}};
  log.append("send_rate_limit_delay_started", fields);
  sleep_of(hooks, std::chrono::seconds(delay));
  write_state(state_path, now_of(hooks), burst);
  log.append("send_rate_limit_delay_finished", fields);
}

}  // namespace tessik
