// Send rate limiter: the burst sequence and its reset on a fake clock, the state file, the
// lock directory's staleness rule, and real processes never serving delays at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

#include "pipeline/send_rate_limiter.h"
#include "state/evidence_log.h"
#include "support/build_paths.h"
#include "support/jsonl_reader.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

namespace fs = std::filesystem;
using test::read_file;
using std::chrono::seconds;

// A system clock that only moves when the limiter sleeps or the test advances it.
struct FakeTime {
  std::chrono::system_clock::time_point now =
      std::chrono::system_clock::time_point(seconds(1'800'000'000));
  std::vector<std::chrono::nanoseconds> sleeps;

  SendRateLimitHooks hooks() {
    SendRateLimitHooks hooks;
    hooks.system_now = [this] { return now; };
    hooks.sleep_for = [this](std::chrono::nanoseconds duration) {
      sleeps.push_back(duration);
      now += std::chrono::duration_cast<std::chrono::system_clock::duration>(duration);
    };
    return hooks;
  }
};

class SendRateLimiterTest : public ::testing::Test {
 protected:
  test::TempEnv env;
  EvidenceLog log{env.events_log()};
  FakeTime time;
};

TEST_F(SendRateLimiterTest, BurstEscalatesThenResetsAfterAQuietMinute) {
  for (int i = 0; i < 6; ++i)
    apply_send_rate_limit(log, "m" + std::to_string(i), "relay", time.hooks());
  const std::vector<std::chrono::nanoseconds> expected = {seconds(1),  seconds(10), seconds(30),
                                                          seconds(60), seconds(60), seconds(60)};
  EXPECT_EQ(time.sleeps, expected);

  const auto started = test::read_events(env.events_log(), "send_rate_limit_delay_started");
  const auto finished = test::read_events(env.events_log(), "send_rate_limit_delay_finished");
  ASSERT_EQ(started.size(), 6u);
  ASSERT_EQ(finished.size(), 6u);
  const char* bursts[] = {"1", "2", "3", "4", "5", "5"};
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(started[i]["message_id"], "m" + std::to_string(i));
    EXPECT_EQ(started[i]["target"], "relay");
    EXPECT_EQ(started[i]["burst_count"], bursts[i]);
    EXPECT_EQ(started[i]["reset_applied"], i == 0 ? "true" : "false");
    for (const char* key :
         {"message_id", "target", "burst_count", "delay_seconds", "reset_applied"}) {
      EXPECT_EQ(finished[i][key], started[i][key]) << key;
    }
  }
  EXPECT_EQ(started[1]["delay_seconds"], "10");

  // The stored time is taken after the sleep; a minute of quiet from there starts over.
  const auto stored = std::chrono::floor<seconds>(time.now.time_since_epoch()).count();
  EXPECT_EQ(read_file(send_rate_limit_state_path()), std::to_string(stored) + " 5\n");
  time.now += seconds(60);
  apply_send_rate_limit(log, "after-quiet", "relay", time.hooks());
  EXPECT_EQ(time.sleeps.back(), seconds(1));
  EXPECT_EQ(
      test::read_events(env.events_log(), "send_rate_limit_delay_started").back()["reset_applied"],
      "true");
}

TEST_F(SendRateLimiterTest, StateFileAgeAndContentDecideTheBurst) {
  const auto write_state = [&](const std::string& text) {
    fs::create_directories(send_rate_limit_state_path().parent_path());
    std::ofstream(send_rate_limit_state_path(), std::ios::trunc) << text;
  };
  const auto epoch_seconds = [&](seconds back) {
    return std::to_string(
        std::chrono::floor<seconds>((time.now - back).time_since_epoch()).count());
  };
  struct Case {
    std::string state;
    std::chrono::nanoseconds delay;
    const char* reset;
  };
  const Case cases[] = {
      {epoch_seconds(seconds(59)) + " 2\n", seconds(30), "false"},  // burst continues
      {epoch_seconds(seconds(61)) + " 2\n", seconds(1), "true"},    // quiet minute
      {epoch_seconds(seconds(1)) + " -7\n", seconds(1), "false"},   // negative count is 0
      {epoch_seconds(seconds(1)) + " 9\n", seconds(60), "false"},   // capped at five
      {"garbage\n", seconds(1), "true"},
      {epoch_seconds(seconds(1)) + "\n", seconds(1), "true"},  // one number only
  };
  for (const Case& c : cases) {
    write_state(c.state);
    time.sleeps.clear();
    apply_send_rate_limit(log, "m", "t", time.hooks());
    ASSERT_EQ(time.sleeps.size(), 1u) << c.state;
    EXPECT_EQ(time.sleeps[0], c.delay) << c.state;
    EXPECT_EQ(test::read_events(env.events_log(), "send_rate_limit_delay_started")
                  .back()["reset_applied"],
              c.reset)
        << c.state;
  }
}

TEST_F(SendRateLimiterTest, StaleLockIsBrokenAndAYoungOneIsWaitedFor) {
  const fs::path lock = send_rate_limit_lock_path();
  fs::create_directories(lock / "leftover");
  fs::last_write_time(lock, fs::file_time_type::clock::now() - seconds(301));
  apply_send_rate_limit(log, "m1", "t", time.hooks());
  ASSERT_EQ(time.sleeps.size(), 1u);  // the delay only: no poll before breaking the lock
  EXPECT_FALSE(fs::exists(lock));

  // A fresh lock is held by someone else: the limiter polls every 100 ms until it goes away.
  fs::create_directories(lock);
  int polls = 0;
  SendRateLimitHooks hooks = time.hooks();
  const auto fake_sleep = hooks.sleep_for;
  hooks.sleep_for = [&](std::chrono::nanoseconds duration) {
    if (duration == std::chrono::milliseconds(100) && ++polls == 3) fs::remove(lock);
    fake_sleep(duration);
  };
  time.sleeps.clear();
  apply_send_rate_limit(log, "m2", "t", hooks);
  EXPECT_EQ(polls, 3);
  EXPECT_EQ(time.sleeps.back(), seconds(10));
  EXPECT_FALSE(fs::exists(lock));
}

TEST_F(SendRateLimiterTest, LockPathThatIsAFileIsAnError) {
  fs::create_directories(send_rate_limit_lock_path().parent_path());
  std::ofstream(send_rate_limit_lock_path()) << "x";
  EXPECT_THROW(apply_send_rate_limit(log, "m", "t", time.hooks()), fs::filesystem_error);
  EXPECT_TRUE(time.sleeps.empty());
}

TEST_F(SendRateLimiterTest, RuntimeDirectoryThatCannotBeCreatedThrows) {
  fs::create_directories(env.state_dir());
  std::ofstream(env.state_dir() / "runtime") << "not a directory";
  try {
    apply_send_rate_limit(log, "m", "t", time.hooks());
    FAIL() << "expected an exception";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()).rfind("could not create rate-limit directory: ", 0), 0u)
        << error.what();
  }
}

TEST_F(SendRateLimiterTest, ConcurrentProcessesServeTheirDelaysOneAfterAnother) {
  const fs::path intervals = env.root() / "intervals.txt";
  const std::string child = std::string(TESSIK_HELPER_DIR) + "/rate_limit_child";
  std::string command;
  for (int i = 0; i < 3; ++i) {
    command += "'" + child + "' '" + intervals.string() + "' child" + std::to_string(i) + " & ";
  }
  command += "wait";
  ASSERT_EQ(std::system(command.c_str()), 0);

  std::ifstream in(intervals);
  std::vector<std::pair<std::int64_t, std::int64_t>> spans;
  std::int64_t start = 0, end = 0;
  while (in >> start >> end)
    spans.emplace_back(start, end);
  ASSERT_EQ(spans.size(), 3u);
  std::sort(spans.begin(), spans.end());
  for (std::size_t i = 1; i < spans.size(); ++i) {
    EXPECT_LE(spans[i - 1].second, spans[i].first) << "delays overlap";
  }
  std::vector<std::string> bursts;
  for (const auto& event : test::read_events(env.events_log(), "send_rate_limit_delay_started"))
    bursts.push_back(event["burst_count"]);
  std::sort(bursts.begin(), bursts.end());
  EXPECT_EQ(bursts, (std::vector<std::string>{"1", "2", "3"}));
}

}  // namespace
}  // namespace tessik
