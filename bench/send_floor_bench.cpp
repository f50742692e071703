// How close a stored send comes to its floor, a process start: in one run, /bin/true launched
// N times with the hand-off's own launcher and waited for, then N SendMessage calls through
// the broker socket until the mailbox holds all N. Also the start cost of `tessik` against
// /bin/true, and a send into a spool of 10,000 messages against one into an empty spool.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/bounded_process.h"
#include "providers/mailbox/mailbox_store.h"
#include "support/broker_process.h"
#include "support/build_paths.h"
#include "support/send_envelope.h"
#include "support/temp_env.h"
#include "wire/frame_client.h"

extern char** environ;

namespace {

using namespace tessik;
using Clock = std::chrono::steady_clock;

constexpr int kSends = 300;
constexpr int kStartRuns = 300;
constexpr int kPrefilledMessages = 10'000;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A broker of its own in a fresh environment, whose spool the caller may fill first.
struct BrokerUnderTest {
  test::TempEnv env;
  std::unique_ptr<test::BrokerProcess> broker;

  BrokerUnderTest() {
    env.set("TESSIK_SERVICE_UID", std::to_string(::getuid()));
    env.set("TESSIK_EXE", TESSIK_BINARY);
  }
  bool start() {
    broker = std::make_unique<test::BrokerProcess>();
    return broker->wait_until_serving();
  }
  std::filesystem::path spool() const { return env.state_dir() / "mailbox" / "messages"; }
};

// CPU time of a process and of its reaped children (the broker's workers), in microseconds.
struct CpuSplit {
  double own_us = 0;
  double children_us = 0;
};

CpuSplit process_cpu(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string skipped;
  for (int field = 3; field < 14; ++field) fields >> skipped;  // state .. cmajflt
  double utime = 0, stime = 0, cutime = 0, cstime = 0;
  fields >> utime >> stime >> cutime >> cstime;
  const double us_per_tick = 1e6 / static_cast<double>(::sysconf(_SC_CLK_TCK));
  return {(utime + stime) * us_per_tick, (cutime + cstime) * us_per_tick};
}

// Launches `count` /bin/true detached and waits until the launcher has reaped them all.
// Returns launches per second, or 0 when a launch failed.
double detached_true_rate(int count) {
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    const platform::DetachedProcessResult launched =
        platform::launch_detached_process("/bin/true", {}, {});
    if (launched.state != "started") {
      std::fprintf(stderr, "launch %d failed: %s\n", i, launched.error.c_str());
      return 0;
    }
  }
  while (platform::reap_detached_processes() > 0) std::this_thread::yield();
  return count / seconds_since(start);
}

// Counts message files published into the spool (renamed into place) from its creation on,
// without listing it: a listing of 10,000 files per poll would load the machine the workers
// share.
class SpoolWatch {
 public:
  explicit SpoolWatch(const std::filesystem::path& spool) {
    std::filesystem::create_directories(spool);
    fd_ = ::inotify_init1(IN_CLOEXEC);
    if (fd_ >= 0) ::inotify_add_watch(fd_, spool.c_str(), IN_MOVED_TO);
  }
  ~SpoolWatch() {
    if (fd_ >= 0) ::close(fd_);
  }
  SpoolWatch(const SpoolWatch&) = delete;
  SpoolWatch& operator=(const SpoolWatch&) = delete;

  // Blocks until `count` more ".json" files were published; false on a watch failure.
  bool wait_for(int count) {
    alignas(inotify_event) char buffer[65536];
    while (seen_ < count) {
      const ssize_t got = ::read(fd_, buffer, sizeof buffer);
      if (got <= 0) return false;
      for (ssize_t at = 0; at < got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        const std::string_view name(event->len > 0 ? event->name : "");
        if (name.ends_with(".json")) ++seen_;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    seen_ -= count;
    return true;
  }

 private:
  int fd_ = -1;
  int seen_ = 0;
};

// Sends `count` messages with ids prefix-0.. and waits until the spool has received them.
// Returns stored sends per second, or 0 when a send was refused or the watch failed.
double stored_send_rate(SpoolWatch& watch, const std::string& prefix, int count,
                        double* answered_per_s = nullptr) {
  const std::filesystem::path socket = test::BrokerProcess::socket_path();
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    const BrokerExchange exchange = exchange_with_broker(
        socket, test::mailbox_send_envelope(prefix + std::to_string(i), "floor message"),
        10'000'000'000);
    if (exchange.step != "done" ||
        exchange.response.find("TASK_STATE_WORKING") == std::string::npos) {
      std::fprintf(stderr, "send %d refused (%s): %s\n", i, exchange.step.c_str(),
                   exchange.response.c_str());
      return 0;
    }
  }
  if (answered_per_s != nullptr) *answered_per_s = count / seconds_since(start);
  if (!watch.wait_for(count)) return 0;
  return count / seconds_since(start);
}

void BM_StoredSendAgainstSpawnFloor(benchmark::State& state) {
  for (auto _ : state) {
    BrokerUnderTest target;
    SpoolWatch watch(target.spool());
    if (!target.start()) return state.SkipWithError("broker did not start");
    const double floor = detached_true_rate(kSends);
    double answered = 0;
    const CpuSplit before = process_cpu(target.broker->pid());
    const double sends = stored_send_rate(watch, "floor-", kSends, &answered);
    // Workers that stored their message may still be exiting; the broker reaps at least once
    // a second, and only reaped children count in its totals.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const CpuSplit after = process_cpu(target.broker->pid());
    if (floor == 0 || sends == 0) return state.SkipWithError("launch or send failed");
    state.counters["true_spawn_per_s"] = floor;
    state.counters["stored_send_per_s"] = sends;
    state.counters["answered_send_per_s"] = answered;
    state.counters["broker_cpu_us_per_send"] = (after.own_us - before.own_us) / kSends;
    state.counters["worker_cpu_us_per_send"] = (after.children_us - before.children_us) / kSends;
    state.counters["ratio"] = sends / floor;
  }
}
BENCHMARK(BM_StoredSendAgainstSpawnFloor)->Iterations(1)->Unit(benchmark::kMillisecond);

struct StartCost {
  double per_second = 0;
  double child_cpu_us = 0;  // user + system per start, from the children's rusage
};

StartCost spawn_and_wait(const std::string& program, const std::vector<std::string>& args) {
  std::vector<std::string> texts{program};
  texts.insert(texts.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& text : texts) argv.push_back(text.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  double cpu_us = 0;
  const auto start = Clock::now();
  for (int i = 0; i < kStartRuns; ++i) {
    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) break;
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    cpu_us += usage.ru_utime.tv_sec * 1e6 + usage.ru_utime.tv_usec +
              usage.ru_stime.tv_sec * 1e6 + usage.ru_stime.tv_usec;
  }
  const double elapsed = seconds_since(start);
  posix_spawn_file_actions_destroy(&actions);
  return {kStartRuns / elapsed, cpu_us / kStartRuns};
}

void BM_StartCostAgainstTrue(benchmark::State& state) {
  for (auto _ : state) {
    const StartCost floor = spawn_and_wait("/bin/true", {});
    const StartCost ours = spawn_and_wait(TESSIK_BINARY, {"--version"});
    state.counters["true_per_s"] = floor.per_second;
    state.counters["true_cpu_us"] = floor.child_cpu_us;
    state.counters["version_per_s"] = ours.per_second;
    state.counters["version_cpu_us"] = ours.child_cpu_us;
    state.counters["cpu_ratio"] = ours.child_cpu_us / floor.child_cpu_us;
  }
}
BENCHMARK(BM_StartCostAgainstTrue)->Iterations(1)->Unit(benchmark::kMillisecond);

// Writes message files straight into the spool, as an earlier life of the mailbox left them.
void prefill_spool(const std::filesystem::path& spool, int count) {
  std::filesystem::create_directories(spool);
  for (int i = 0; i < count; ++i) {
    MailboxMessage message;
    message.message_id = "old-" + std::to_string(i);
    message.received_at = "2026-01-01T00:00:00Z";
    message.target_display_name = "Tessik Mailbox";
    message.final_visible_body = "an earlier message";
    message.body_bytes = message.final_visible_body.size();
    std::ofstream(spool / mailbox_file_name(message.received_at, message.message_id))
        << serialize_mailbox_message(message);
  }
}

void BM_SendIntoFullSpool(benchmark::State& state) {
  for (auto _ : state) {
    double into_empty = 0;
    {
      BrokerUnderTest empty;
      SpoolWatch watch(empty.spool());
      if (!empty.start()) return state.SkipWithError("broker did not start");
      // The same single send as below first, so both brokers are measured warm.
      if (stored_send_rate(watch, "warm-", 1) == 0)
        return state.SkipWithError("warm-up send failed");
      into_empty = stored_send_rate(watch, "empty-", kSends);
    }
    BrokerUnderTest full;
    prefill_spool(full.spool(), kPrefilledMessages);
    SpoolWatch watch(full.spool());
    if (!full.start()) return state.SkipWithError("broker did not start");
    // The first store into a spool that predates its id index builds the index; that is
    // paid once per spool, not per send, so it stays out of the measured sends (the empty
    // spool got the same warm-up send).
    if (stored_send_rate(watch, "warm-", 1) == 0)
      return state.SkipWithError("warm-up send failed");
    const double into_full = stored_send_rate(watch, "full-", kSends);
    if (mailbox_message_files(full.spool()).size() != kPrefilledMessages + 1 + kSends)
      return state.SkipWithError("the spool does not hold every message");
    if (into_empty == 0 || into_full == 0) return state.SkipWithError("send failed");
    state.counters["empty_spool_send_per_s"] = into_empty;
    state.counters["full_spool_send_per_s"] = into_full;
    state.counters["ratio"] = into_full / into_empty;
  }
}
BENCHMARK(BM_SendIntoFullSpool)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
