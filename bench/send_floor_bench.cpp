// How close a stored send comes to its floor, a process start: in one run, /bin/true launched
// N times with the hand-off's own launcher and waited for, then N SendMessage calls through
// the broker socket until the mailbox holds all N. Also the start cost of `tessik` against
// /bin/true, and a send into a spool of 10,000 messages against one into an empty spool.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/bounded_process.h"
#include "providers/mailbox/mailbox_store.h"
#include "support/broker_process.h"
#include "support/build_paths.h"
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

std::string send_envelope(const std::string& message_id) {
  return R"({"version":1,"endpointUrl":"http://127.0.0.1:37661/a2a","request":{"method":"POST",)"
         R"("target":"/a2a/message:send","headers":{"Content-Type":"application/json",)"
         R"("A2A-Version":"1.0"},"body":"{\"message\":{\"messageId\":\")" +
         message_id +
         R"(\",\"role\":\"ROLE_USER\",\"parts\":[{\"text\":\"floor message\"}]}}"},)"
         R"("principal":{"authenticated":true,"clientId":"bench","principalType":"registry",)"
         R"("senderAgent":"bench-client","senderNode":"local","scopes":["agent.send"]}})";
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

// Launches `count` /bin/true detached and waits until the launcher has reaped them all.
// Returns launches per second, or 0 when a launch failed.
double detached_true_rate(int count) {
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    if (platform::launch_detached_process("/bin/true", {}, {}).state != "started") return 0;
  }
  while (platform::reap_detached_processes() > 0) std::this_thread::yield();
  return count / seconds_since(start);
}

// Sends `count` messages with ids prefix-0.. and waits until the spool holds `expected`
// files. Returns stored sends per second, or 0 when a send was refused or storing stalled.
double stored_send_rate(const BrokerUnderTest& target, const std::string& prefix, int count,
                        std::size_t expected) {
  const std::filesystem::path socket = test::BrokerProcess::socket_path();
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    const BrokerExchange exchange =
        exchange_with_broker(socket, send_envelope(prefix + std::to_string(i)), 10'000'000'000);
    if (exchange.step != "done" ||
        exchange.response.find("TASK_STATE_WORKING") == std::string::npos) {
      std::fprintf(stderr, "send %d refused (%s): %s\n", i, exchange.step.c_str(),
                   exchange.response.c_str());
      return 0;
    }
  }
  // Listing a spool of 10,000 files on every poll would load the machine the workers share,
  // so the polls look up each id's index entry (written just before its message), and one
  // listing at the end confirms the count.
  const std::filesystem::path index = target.spool().parent_path() / "messages-by-id";
  const auto deadline = Clock::now() + std::chrono::seconds(120);
  for (int pending = 0; pending < count;) {
    if (std::filesystem::exists(index / (prefix + std::to_string(pending)))) {
      ++pending;
      continue;
    }
    if (Clock::now() > deadline) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  while (mailbox_message_files(target.spool()).size() < expected) {
    if (Clock::now() > deadline) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return count / seconds_since(start);
}

void BM_StoredSendAgainstSpawnFloor(benchmark::State& state) {
  for (auto _ : state) {
    BrokerUnderTest target;
    if (!target.start()) return state.SkipWithError("broker did not start");
    const double floor = detached_true_rate(kSends);
    const double sends = stored_send_rate(target, "floor-", kSends, kSends);
    if (floor == 0 || sends == 0) return state.SkipWithError("launch or send failed");
    state.counters["true_spawn_per_s"] = floor;
    state.counters["stored_send_per_s"] = sends;
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
    BrokerUnderTest empty;
    if (!empty.start()) return state.SkipWithError("broker did not start");
    const double into_empty = stored_send_rate(empty, "empty-", kSends, kSends);
    empty.broker.reset();

    BrokerUnderTest full;
    prefill_spool(full.spool(), kPrefilledMessages);
    if (!full.start()) return state.SkipWithError("broker did not start");
    // The first store into a spool that predates its id index builds the index; that is
    // paid once per spool, not per send, so it stays out of the measured sends.
    if (stored_send_rate(full, "warm-", 1, kPrefilledMessages + 1) == 0)
      return state.SkipWithError("warm-up send failed");
    const double into_full =
        stored_send_rate(full, "full-", kSends, kPrefilledMessages + 1 + kSends);
    if (into_empty == 0 || into_full == 0) return state.SkipWithError("send failed");
    state.counters["empty_spool_send_per_s"] = into_empty;
    state.counters["full_spool_send_per_s"] = into_full;
    state.counters["ratio"] = into_full / into_empty;
  }
}
BENCHMARK(BM_SendIntoFullSpool)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
