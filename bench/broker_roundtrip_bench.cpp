// Round trips through the real broker over its socket (one client, a fresh connection per
// request, acknowledged), and the resident memory of the broker when idle.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/text.h"
#include "support/broker_process.h"
#include "support/temp_env.h"
#include "wire/frame_client.h"

namespace {

using namespace tessik;

const std::string kEnvelope =
    R"({"version":1,"endpointUrl":"http://127.0.0.1:37661/a2a","request":{"method":"GET",)"
    R"("target":"/a2a/bench/missing","headers":{"Accept":"application/json"},"body":""},)"
    R"("principal":{"authenticated":true,"clientId":"bench","scopes":["agent.read"]}})";

// One broker for the whole run, in a private state and pipe directory.
struct BrokerUnderTest {
  test::TempEnv env;
  std::unique_ptr<test::BrokerProcess> broker;
  std::filesystem::path socket;

  BrokerUnderTest() {
    env.unset("TESSIK_SERVICE_UID");
    broker = std::make_unique<test::BrokerProcess>(std::vector<std::string>{"broker"});
    if (!broker->wait_until_serving()) throw std::runtime_error(broker->stderr_text());
    socket = test::BrokerProcess::socket_path();
  }
};

BrokerUnderTest& broker_under_test() {
  static BrokerUnderTest instance;
  return instance;
}

// One "Name:   N kB" figure of /proc/PID/status, e.g. "VmRSS" or "RssAnon".
double status_kib(int pid, const std::string& name) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  const std::string prefix = name + ":";
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(prefix, 0) == 0) return std::stod(line.substr(prefix.size()));
  }
  return -1;
}

// User plus system CPU time of a process, in microseconds.
double cpu_us(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int index = 3; fields >> field && index <= 15; ++index) {
    if (index == 14 || index == 15) ticks += std::stod(field);
  }
  return ticks * 1e6 / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

void BM_BrokerRoundTrip(benchmark::State& state) {
  BrokerUnderTest& target = broker_under_test();
  const double cpu_before = cpu_us(target.broker->pid());
  std::vector<std::int64_t> latencies;
  latencies.reserve(1 << 20);
  std::string response;
  for (auto _ : state) {
    const std::int64_t started = monotonic_now_ns();
    const std::int64_t deadline = started + 5'000'000'000;
    FrameClient client;
    if (!client.connect(target.socket, deadline).completed() ||
        !client.write_frame(kEnvelope, deadline).completed() ||
        !client.read_frame(response, deadline).completed() ||
        !client.acknowledge(deadline).completed()) {
      state.SkipWithError("round trip failed");
      break;
    }
    latencies.push_back(monotonic_now_ns() - started);
  }
  if (latencies.empty()) return;
  state.counters["broker_cpu_us_per_rt"] =
      (cpu_us(target.broker->pid()) - cpu_before) / static_cast<double>(latencies.size());
  std::sort(latencies.begin(), latencies.end());
  const auto percentile = [&](double p) {
    return static_cast<double>(latencies[static_cast<std::size_t>(p * (latencies.size() - 1))]) /
           1000.0;
  };
  state.counters["round_trips_per_s"] =
      benchmark::Counter(static_cast<double>(latencies.size()), benchmark::Counter::kIsRate);
  state.counters["p50_us"] = percentile(0.50);
  state.counters["p99_us"] = percentile(0.99);
  state.counters["max_us"] = percentile(1.0);
}
BENCHMARK(BM_BrokerRoundTrip)->UseRealTime()->MinTime(3.0);

// Measured after the round trips, once the broker has been idle for a moment. The resident
// set splits into the broker's own memory (anonymous) and mapped files, which are mostly the
// shared libraries' pages.
void BM_BrokerIdleResidentMemory(benchmark::State& state) {
  BrokerUnderTest& target = broker_under_test();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const int pid = target.broker->pid();
  double rss = 0, anon = 0, file = 0;
  for (auto _ : state) {
    rss = status_kib(pid, "VmRSS");
    anon = status_kib(pid, "RssAnon");
    file = status_kib(pid, "RssFile");
  }
  state.counters["idle_rss_kib"] = rss;
  state.counters["idle_rss_anon_kib"] = anon;
  state.counters["idle_rss_file_kib"] = file;
}
BENCHMARK(BM_BrokerIdleResidentMemory)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
