// One push run of 10 due deliveries to a loopback callback over the real HTTP client and the
// system resolver (goal: under 50 ms per run). Each iteration starts from a fresh queue of
// ten pending deliveries, written while the timer is paused. Also what a send without push
// configurations pays beside other tasks' push files.
#include <benchmark/benchmark.h>
#include <httplib.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

#include "a2a/push/push_config_store.h"
#include "a2a/push/push_delivery.h"
#include "a2a/tasks/task_log.h"
#include "base/sha256.h"
#include "support/task_fixtures.h"
#include "support/temp_env.h"

namespace {

using namespace tessik;

class CallbackServer {
 public:
  CallbackServer() {
    server_.Post("/cb", [this](const httplib::Request&, httplib::Response& response) {
      ++received_;
      response.status = 204;
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running())
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~CallbackServer() {
    server_.stop();
    thread_.join();
  }
  int port() const { return port_; }
  int received() const { return received_; }

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  std::atomic<int> received_{0};
};

void write_due_deliveries(const PushQueuePaths& paths, int round, const std::string& callback) {
  std::filesystem::remove(paths.pending);
  for (int i = 0; i < 10; ++i) {
    PushDelivery delivery;
    delivery.payload_json = R"({"statusUpdate":{"round":)" + std::to_string(round) + R"(,"n":)" +
                            std::to_string(i) + "}}";
    delivery.delivery_id = push_delivery_id("bench-task", "bench-config", delivery.payload_json);
    delivery.task_id = "bench-task";
    delivery.config_id = "bench-config";
    delivery.callback = callback;
    delivery.payload_sha256 = sha256_hex(delivery.payload_json);
    delivery.max_attempts = 2;
    append_json_line(paths.pending, push_queue_line(delivery, "2026-01-01T00:00:00Z"));
  }
}

void BM_PushRunOfTenDueDeliveries(benchmark::State& state) {
  test::TempEnv env;
  CallbackServer server;
  GatewayContext context;
  test::use_push_files_in(context, env.state_dir() / "a2a");
  PushConfig config;
  config.task_id = "bench-task";
  config.id = "bench-config";
  config.url = "http://127.0.0.1:" + std::to_string(server.port()) + "/cb";
  append_push_config(context.push_configs_path, config);
  const PushQueuePaths paths = push_queue_paths(context);

  int round = 0;
  int delivered = 0;
  for (auto _ : state) {
    state.PauseTiming();
    write_due_deliveries(paths, round++, "127.0.0.1#bench");
    state.ResumeTiming();
    delivered += run_push_deliveries(context, 10, {}).delivered;
  }
  state.counters["delivered"] = delivered;
  state.counters["callback_posts"] = server.received();
  if (delivered != 10 * round) state.SkipWithError("not every delivery was delivered");
}
BENCHMARK(BM_PushRunOfTenDueDeliveries)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(50);

// What a send with no push configuration of its own pays for push when other tasks' push
// traffic has left 500 configurations and 2,000 final queue records behind: one look for its
// configurations and one run over the queue.
void BM_SendSidePushCostBesideOtherTraffic(benchmark::State& state) {
  test::TempEnv env;
  GatewayContext context;
  test::use_push_files_in(context, env.state_dir() / "a2a");
  const PushQueuePaths paths = push_queue_paths(context);
  std::string queue;
  for (int i = 0; i < 500; ++i) {
    PushConfig config;
    config.task_id = "other-task-" + std::to_string(i);
    config.id = "c";
    config.url = "https://hooks.example.com/cb";
    append_push_config(context.push_configs_path, config);
    for (int d = 0; d < 4; ++d) {
      PushDelivery delivery;
      delivery.payload_json = R"({"statusUpdate":{"n":)" + std::to_string(d) + "}}";
      delivery.delivery_id = push_delivery_id(config.task_id, "c", delivery.payload_json);
      delivery.task_id = config.task_id;
      delivery.config_id = "c";
      delivery.callback = "hooks.example.com#0123456789abcdef";
      delivery.state = "delivered";
      delivery.attempt = 1;
      queue += push_queue_line(delivery, "2026-01-01T00:00:00Z") + "\n";
    }
  }
  append_json_line(paths.pending, queue.substr(0, queue.size() - 1));
  TaskRecord task;
  task.id = "quiet-task";
  task.state = kTaskStateWorking;
  int attempted = 0;
  for (auto _ : state)
    attempted += enqueue_task_push(context, task).attempted;
  if (attempted != 0) state.SkipWithError("a final record was attempted again");
}
BENCHMARK(BM_SendSidePushCostBesideOtherTraffic)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
