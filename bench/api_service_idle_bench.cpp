// Card GETs through the API-service stand-in while 200 other connections sit idle or trickle
// their request head a byte at a time, as a local attacker without a token can cheaply do.
// Each iteration is one GET on a fresh connection; the counters report the slowest answer and
// how many attacker connections were open. The goal: every answer within 100 ms.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/gateway_stack.h"
#include "support/temp_env.h"

namespace {

using namespace tessik;

constexpr int kIdleConnections = 200;

int open_idle(std::uint16_t port) {
  const int handle = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(handle, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(handle);
    return -1;
  }
  return handle;
}

// Keeps kIdleConnections open: half send nothing, half send one byte of a head every 500 ms.
// Connections the server drops are opened again at once.
class Attackers {
 public:
  explicit Attackers(std::uint16_t port) : port_(port), handles_(kIdleConnections, -1) {
    thread_ = std::thread([this] { loop(); });
    while (open_count_.load() < kIdleConnections)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ~Attackers() {
    stop_ = true;
    thread_.join();
    for (int handle : handles_)
      if (handle >= 0) ::close(handle);
  }
  int open_count() const { return open_count_.load(); }

 private:
  void loop() {
    const std::string trickle = "GET /a2a/agents HTTP/1.1\r\nHost: x\r\n";
    std::size_t step = 0;
    while (!stop_) {
      int open = 0;
      for (std::size_t i = 0; i < handles_.size(); ++i) {
        char probe;
        if (handles_[i] >= 0 && ::recv(handles_[i], &probe, 1, MSG_DONTWAIT) == 0) {
          ::close(handles_[i]);
          handles_[i] = -1;
        }
        if (handles_[i] < 0) handles_[i] = open_idle(port_);
        if (handles_[i] >= 0 && i % 2 == 1) {
          ::send(handles_[i], &trickle[step % trickle.size()], 1, MSG_NOSIGNAL);
        }
        open += handles_[i] >= 0;
      }
      open_count_ = open;
      ++step;
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
  }

  std::uint16_t port_;
  std::vector<int> handles_;
  std::atomic<int> open_count_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

void BM_CardGetWithIdleConnections(benchmark::State& state) {
  test::TempEnv env;
  env.set("TESSIK_SERVICE_UID", std::to_string(::getuid()));
  test::GatewayStack stack;
  Attackers attackers(stack.port());
  double slowest_ms = 0;
  for (auto _ : state) {
    httplib::Client client("127.0.0.1", stack.port());
    client.set_read_timeout(300);
    const auto start = std::chrono::steady_clock::now();
    const auto result = client.Get("/a2a/.well-known/agent-card.json");
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count();
    if (!result || result->status != 200) {
      state.SkipWithError("card GET failed");
      break;
    }
    slowest_ms = std::max(slowest_ms, ms);
  }
  state.counters["slowest_ms"] = slowest_ms;
  state.counters["attacker_connections"] = attackers.open_count();
}
// Long enough for the server to drop and the attackers to reopen their connections a few times.
BENCHMARK(BM_CardGetWithIdleConnections)->MinTime(12.0)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
