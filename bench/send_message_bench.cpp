// SendMessage through the broker socket to the built-in mailbox: accepted sends per second
// and the latency from request to answer (delivery runs in detached workers). After the run
// the spool is counted, once every worker has had time to store its message. The second case
// sends the same tasks, which have no push configuration, beside the files push traffic of
// other tasks leaves behind: what a send pays for push when it has none of its own. The third
// sends beside a task log of 100,000 tasks.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "providers/mailbox/mailbox_store.h"
#include "support/broker_process.h"
#include "support/build_paths.h"
#include "support/gateway_stack.h"
#include "support/send_envelope.h"
#include "support/task_fixtures.h"
#include "support/temp_env.h"
#include "wire/frame_client.h"

namespace {

using namespace tessik;

struct StackUnderTest {
  test::TempEnv env;
  std::unique_ptr<test::GatewayStack> stack;

  StackUnderTest() {
    env.set("TESSIK_SERVICE_UID", std::to_string(::getuid()));
    env.set("TESSIK_EXE", TESSIK_BINARY);
    stack = std::make_unique<test::GatewayStack>();
  }
};

// 500 configurations of other tasks and 2,000 delivered records in the queue.
void write_other_tasks_push_files(const std::filesystem::path& a2a) {
  std::string configs;
  std::string queue;
  for (int i = 0; i < 500; ++i) {
    const std::string task = "other-task-" + std::to_string(i);
    configs += R"({"taskId":")" + task +
               R"(","id":"c","url":"https://hooks.example.com/cb","deleted":false,)"
               R"("metadata":{"tessikRequesterClientId":"x","tessikRequesterAgent":"",)"
               R"("tessikRequesterNode":"local"}})"
               "\n";
    for (int d = 0; d < 4; ++d) {
      queue += R"({"deliveryId":"d-)" + std::to_string(i) + "-" + std::to_string(d) +
               R"(","updatedAt":"2026-01-01T00:00:00Z","taskId":")" + task +
               R"(","configId":"c","callback":"hooks.example.com#0123456789abcdef",)"
               R"("payloadJson":"{}","payloadSha256":"","state":"delivered","attempt":1,)"
               R"("maxAttempts":2,"dueAtEpochMs":0,"statusCode":204})"
               "\n";
    }
  }
  std::filesystem::create_directories(a2a);
  std::ofstream(a2a / "pushNotificationConfigs.jsonl") << configs;
  std::ofstream(a2a / "push-pending.jsonl") << queue;
}

void run_sends(benchmark::State& state, bool beside_push_traffic, int logged_tasks = 0) {
  StackUnderTest target;
  if (beside_push_traffic) write_other_tasks_push_files(target.env.state_dir() / "a2a");
  const std::filesystem::path socket = test::BrokerProcess::socket_path();
  std::vector<double> latencies_us;
  int accepted = 0;
  int n = 0;
  if (logged_tasks > 0) {
    std::filesystem::create_directories(target.env.state_dir() / "a2a");
    test::write_bulk_task_log(target.env.state_dir() / "a2a" / "tasks.jsonl", logged_tasks);
    // One untimed send builds the broker's index of the log, as the first request after a
    // start would; the loop then measures sends beside a large log.
    const BrokerExchange warm = exchange_with_broker(
        socket, test::mailbox_send_envelope("bench-" + std::to_string(n++), "bench message"),
        60'000'000'000);
    if (warm.step == "done") ++accepted;
  }
  for (auto _ : state) {
    const std::string envelope =
        test::mailbox_send_envelope("bench-" + std::to_string(n++), "bench message");
    const auto start = std::chrono::steady_clock::now();
    const BrokerExchange exchange = exchange_with_broker(socket, envelope, 10'000'000'000);
    latencies_us.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
            .count());
    if (exchange.step != "done" ||
        exchange.response.find("TASK_STATE_WORKING") == std::string::npos) {
      std::fprintf(stderr, "send %d not accepted (%s): %s\n", n - 1, exchange.step.c_str(),
                   exchange.response.c_str());
      state.SkipWithError("send was not accepted");
      return;
    }
    ++accepted;
  }
  // The loop's timing has ended here, so the wait below is not counted in the rate.
  std::sort(latencies_us.begin(), latencies_us.end());
  state.counters["accepted_per_s"] =
      benchmark::Counter(static_cast<double>(accepted), benchmark::Counter::kIsRate);
  state.counters["median_latency_us"] =
      latencies_us.empty() ? 0.0 : latencies_us[latencies_us.size() / 2];
  // The workers are detached: give them time to store everything before counting.
  const std::filesystem::path spool = target.env.state_dir() / "mailbox" / "messages";
  std::size_t stored = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (std::chrono::steady_clock::now() < deadline) {
    stored = mailbox_message_files(spool).size();
    if (stored >= static_cast<std::size_t>(accepted)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  state.counters["accepted"] = accepted;
  state.counters["stored_in_spool"] = static_cast<double>(stored);
}
void BM_SendMessageToMailbox(benchmark::State& state) {
  run_sends(state, false);
}
void BM_SendMessageBesidePushTraffic(benchmark::State& state) {
  run_sends(state, true);
}
// Beside a task log of 100,000 tasks in 200,000 lines: the id check of each send must not
// read that log.
void BM_SendMessageWithLargeTaskLog(benchmark::State& state) {
  run_sends(state, false, 100'000);
}
BENCHMARK(BM_SendMessageToMailbox)->UseRealTime()->Iterations(600);
BENCHMARK(BM_SendMessageWithLargeTaskLog)->UseRealTime()->Iterations(600);
BENCHMARK(BM_SendMessageBesidePushTraffic)->UseRealTime()->Iterations(600);

}  // namespace

BENCHMARK_MAIN();
