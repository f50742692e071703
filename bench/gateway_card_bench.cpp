// GET of the gateway Agent Card end to end: straight through the broker socket (a fresh
// connection per request, as the broker serves them) and through the API-service stand-in
// over HTTP with one kept-alive connection.
#include <benchmark/benchmark.h>
#include <httplib.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "a2a/cards/cards.h"
#include "a2a/gateway/responses.h"
#include "support/broker_process.h"
#include "support/gateway_stack.h"
#include "support/temp_env.h"
#include "wire/frame_client.h"

namespace {

using namespace tessik;

const std::string kCardEnvelope =
    R"({"version":1,"endpointUrl":"http://127.0.0.1:37661/a2a","request":{"method":"GET",)"
    R"("target":"/a2a/.well-known/agent-card.json","headers":{"Accept":"application/json"},)"
    R"("body":""},"principal":{"authenticated":true,"clientId":"bench"}})";

// One broker and one stand-in for the whole run, in private state and pipe directories.
struct StackUnderTest {
  test::TempEnv env;
  std::unique_ptr<test::GatewayStack> stack;

  StackUnderTest() {
    env.set("TESSIK_SERVICE_UID", std::to_string(::getuid()));
    stack = std::make_unique<test::GatewayStack>();
  }
};

StackUnderTest& stack_under_test() {
  static StackUnderTest instance;
  return instance;
}

void BM_GatewayCardOverSocket(benchmark::State& state) {
  stack_under_test();
  const std::filesystem::path socket = test::BrokerProcess::socket_path();
  const int broker = stack_under_test().stack->broker().pid();
  const double broker_before = test::process_cpu_us(broker);
  for (auto _ : state) {
    const BrokerExchange exchange = exchange_with_broker(socket, kCardEnvelope, 5'000'000'000);
    if (exchange.step != "done" || exchange.response.find("\"status\":200") == std::string::npos) {
      state.SkipWithError("card exchange failed");
      break;
    }
    benchmark::DoNotOptimize(exchange.response.data());
  }
  state.SetItemsProcessed(state.iterations());
  // CPU per request tells the capacity apart from the load other processes put on the machine.
  state.counters["broker_cpu_us_per_req"] =
      (test::process_cpu_us(broker) - broker_before) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_GatewayCardOverSocket)->UseRealTime()->MinTime(3.0);

void BM_GatewayCardOverHttp(benchmark::State& state) {
  StackUnderTest& target = stack_under_test();
  httplib::Client client("127.0.0.1", target.stack->port());
  client.set_keep_alive(true);
  client.set_tcp_nodelay(true);
  const int broker = target.stack->broker().pid();
  const int api_service = target.stack->api_service().pid();
  const double broker_before = test::process_cpu_us(broker);
  const double api_before = test::process_cpu_us(api_service);
  for (auto _ : state) {
    const httplib::Result result = client.Get("/a2a/.well-known/agent-card.json");
    if (!result || result->status != 200) {
      state.SkipWithError("card request failed");
      break;
    }
    benchmark::DoNotOptimize(result->body.data());
  }
  state.SetItemsProcessed(state.iterations());
  const double iterations = static_cast<double>(state.iterations());
  state.counters["broker_cpu_us_per_req"] =
      (test::process_cpu_us(broker) - broker_before) / iterations;
  state.counters["api_cpu_us_per_req"] =
      (test::process_cpu_us(api_service) - api_before) / iterations;
}
BENCHMARK(BM_GatewayCardOverHttp)->UseRealTime()->MinTime(3.0);

// The gateway's own share of a card request: rendering the card and its ETag. Two endpoints
// alternate, so the rendering the gateway keeps for a repeated card never answers here.
void BM_RenderGatewayCard(benchmark::State& state) {
  GatewayContext first;
  GatewayContext second;
  second.endpoint_url = "http://127.0.0.1:2/a2a";
  bool flip = false;
  for (auto _ : state) {
    flip = !flip;
    const std::string card =
        render_gateway_card(make_card_options(flip ? first : second, false, false));
    benchmark::DoNotOptimize(card_etag(card).data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RenderGatewayCard);

}  // namespace

BENCHMARK_MAIN();
