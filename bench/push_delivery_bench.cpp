// One push run of 10 due deliveries to a loopback callback over the real HTTP client and the
// system resolver (goal: under 50 ms per run). Each iteration starts from a fresh queue of
// ten pending deliveries, written while the timer is paused.
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

}  // namespace

BENCHMARK_MAIN();
