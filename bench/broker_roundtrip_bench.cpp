// Round trips through the real broker over its socket (one client, a fresh connection per
// request, acknowledged) beside their floor, a bare Unix-socket echo process of the same shape
// in the same run, and the resident memory of the broker when idle.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/api_service.h"
#include "base/text.h"
#include "support/broker_process.h"
#include "support/temp_env.h"
#include "wire/frame_client.h"

namespace {

using namespace tessik;

// The envelope as the API-service stand-in writes it for an unknown route.
const std::string kEnvelope = [] {
  GatewayRequest request;
  request.method = "GET";
  request.target = "/a2a/bench/missing";
  request.headers = {{"Accept", "application/json"}};
  request.endpoint_url = "http://127.0.0.1:37661/a2a";
  Principal principal;
  principal.authenticated = true;
  principal.client_id = "bench";
  principal.scopes = {"agent.read"};
  return build_broker_envelope(request, principal);
}();

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

// Reads exactly `size` bytes; false at the end of the stream or on failure.
bool read_all(int handle, char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t got = ::read(handle, data, size);
    if (got <= 0) return false;
    data += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

bool read_frame_payload(int handle, std::string& payload) {
  unsigned char prefix[4];
  if (!read_all(handle, reinterpret_cast<char*>(prefix), sizeof prefix)) return false;
  payload.resize(prefix[0] | prefix[1] << 8 | prefix[2] << 16 |
                 static_cast<std::size_t>(prefix[3]) << 24);
  return read_all(handle, payload.data(), payload.size());
}

// The floor: a process that accepts, reads one length-prefixed frame, answers with a frame of
// the broker's answer size, reads the acknowledgement frame and closes. Nothing else.
class EchoFloor {
 public:
  EchoFloor(const std::filesystem::path& socket, std::string answer) : socket_(socket) {
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket.c_str(), sizeof address.sun_path - 1);
    if (listener < 0 ||
        ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 128) != 0) {
      throw std::runtime_error("echo floor cannot listen at " + socket.string());
    }
    std::string frame(4, '\0');
    for (int i = 0; i < 4; ++i)
      frame[i] = static_cast<char>((answer.size() >> (8 * i)) & 0xFF);
    frame += answer;
    pid_ = ::fork();
    if (pid_ == 0) serve(listener, frame);
    ::close(listener);
  }
  ~EchoFloor() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    std::filesystem::remove(socket_);
  }

 private:
  [[noreturn]] static void serve(int listener, const std::string& frame) {
    std::string payload;
    while (true) {
      const int connection = ::accept(listener, nullptr, nullptr);
      if (connection < 0) continue;
      if (read_frame_payload(connection, payload)) {
        [[maybe_unused]] const ssize_t sent = ::write(connection, frame.data(), frame.size());
        read_frame_payload(connection, payload);
      }
      ::close(connection);
    }
  }

  std::filesystem::path socket_;
  pid_t pid_ = -1;
};

double g_floor_mean_us = 0;

// One client round trip: connect, envelope frame, response frame, acknowledgement, close.
bool round_trip(const std::filesystem::path& socket, std::string& response) {
  const std::int64_t deadline = monotonic_now_ns() + 5'000'000'000;
  FrameClient client;
  return client.connect(socket, deadline).completed() &&
         client.write_frame(kEnvelope, deadline).completed() &&
         client.read_frame(response, deadline).completed() &&
         client.acknowledge(deadline).completed();
}

void BM_UnixSocketEchoFloor(benchmark::State& state) {
  BrokerUnderTest& target = broker_under_test();
  std::string answer;
  if (!round_trip(target.socket, answer)) {
    state.SkipWithError("no broker answer to copy");
    return;
  }
  EchoFloor floor(target.socket.parent_path() / "echo-floor", answer);
  const std::filesystem::path socket = target.socket.parent_path() / "echo-floor";
  std::string response;
  const std::int64_t started = monotonic_now_ns();
  for (auto _ : state) {
    if (!round_trip(socket, response) || response.size() != answer.size()) {
      state.SkipWithError("echo round trip failed");
      return;
    }
  }
  g_floor_mean_us = static_cast<double>(monotonic_now_ns() - started) / 1000.0 /
                    static_cast<double>(state.iterations());
  state.counters["round_trips_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_UnixSocketEchoFloor)->UseRealTime()->MinTime(3.0);

void BM_BrokerRoundTrip(benchmark::State& state) {
  BrokerUnderTest& target = broker_under_test();
  const double cpu_before = cpu_us(target.broker->pid());
  std::vector<std::int64_t> latencies;
  latencies.reserve(1 << 20);
  std::string response;
  const std::int64_t run_started = monotonic_now_ns();
  for (auto _ : state) {
    const std::int64_t started = monotonic_now_ns();
    if (!round_trip(target.socket, response)) {
      state.SkipWithError("round trip failed");
      break;
    }
    latencies.push_back(monotonic_now_ns() - started);
  }
  if (latencies.empty()) return;
  const double mean_us = static_cast<double>(monotonic_now_ns() - run_started) / 1000.0 /
                         static_cast<double>(latencies.size());
  // How many times the bare echo's round trip one broker round trip takes (goal: at most 2).
  if (g_floor_mean_us > 0) state.counters["times_floor"] = mean_us / g_floor_mean_us;
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
