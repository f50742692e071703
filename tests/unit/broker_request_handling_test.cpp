// The broker's answer to one request frame, and the broker's start-up exits run in-process.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "base/text.h"
#include "broker/broker.h"
#include "broker/request_handling.h"
#include "platform/session_id.h"
#include "platform/stop_signal.h"
#include "support/jsonl_reader.h"
#include "support/temp_env.h"
#include "wire/frame_client.h"

namespace tessik {
namespace {

namespace fs = std::filesystem;

const std::string kValidEnvelope =
    R"({"version":1,"endpointUrl":"https://gw.example/a2a","request":{"method":"GET",)"
    R"("target":"/a2a/nowhere"},"principal":{"authenticated":true,"clientId":"c1",)"
    R"("senderAgent":"agent-9","scopes":["agent.read"]}})";

TEST(RequestHandling, RefusalsAreExactAndCallerCheckComesBeforeParsing) {
  GatewayResponse response = answer_request(false, true, kValidEnvelope, {});
  EXPECT_EQ(response.status, 400);
  EXPECT_EQ(response.content_type, "application/json");
  EXPECT_TRUE(response.headers.empty());
  EXPECT_EQ(
      response.body,
      R"({"error":{"code":"TESSIK_USER_BROKER_FRAME_INVALID","message":"Invalid broker request frame."}})");

  for (const std::string_view payload : {std::string_view(kValidEnvelope), std::string_view("{")}) {
    response = answer_request(true, false, payload, {});
    EXPECT_EQ(response.status, 403);
    EXPECT_EQ(
        response.body,
        R"({"error":{"code":"TESSIK_USER_BROKER_CALLER_REJECTED","message":"Only the LocalSystem Tessik API service may call the user broker."}})");
  }

  response = answer_request(true, true, R"({"version":2})", {});
  EXPECT_EQ(response.status, 400);
  EXPECT_EQ(
      response.body,
      R"({"error":{"code":"TESSIK_USER_BROKER_REQUEST_INVALID","message":"unsupported or malformed user-broker envelope"}})");
  EXPECT_EQ(nlohmann::json::parse(
                request_invalid_response("a \"quoted\"\nmessage").body)["error"]["message"],
            "a \"quoted\"\nmessage");
}

TEST(RequestHandling, ValidEnvelopeReachesTheGatewayWithoutTouchingState) {
  test::TempEnv env;
  const GatewayResponse response = answer_request(true, true, kValidEnvelope, {});
  EXPECT_EQ(response.status, 404);
  const auto body = nlohmann::json::parse(response.body);
  EXPECT_EQ(body["error"]["message"], "A2A route not found");
  EXPECT_EQ(body["error"]["details"][0]["metadata"]["localCode"], "TESSIK_A2A_ROUTE_NOT_FOUND");
  EXPECT_FALSE(fs::exists(env.state_dir())) << "a 404 leaves no files behind";
}

TEST(RequestHandling, ContextCarriesTheEnvelopeAndFreshPaths) {
  test::TempEnv env;
  const UserBrokerEnvelope envelope = parse_user_broker_envelope(kValidEnvelope);
  ASSERT_TRUE(envelope.valid);
  const GatewayContext context = make_gateway_context(envelope);
  EXPECT_EQ(context.endpoint_url, "https://gw.example/a2a");
  EXPECT_TRUE(context.require_auth);
  EXPECT_TRUE(context.trust_broker_principal);
  EXPECT_FALSE(context.reserved_switch);
  EXPECT_EQ(context.bind_host, "127.0.0.1");
  EXPECT_EQ(context.port, 37661);
  EXPECT_EQ(context.principal.client_id, "c1");
  EXPECT_EQ(context.principal.sender_agent, "agent-9");
  EXPECT_EQ(context.principal.scopes, std::vector<std::string>{"agent.read"});
  EXPECT_TRUE(context.clients_path.empty());
  const fs::path a2a = env.state_dir() / "a2a";
  EXPECT_EQ(context.tasks_path, a2a / "tasks.jsonl");
  EXPECT_EQ(context.push_configs_path, a2a / "pushNotificationConfigs.jsonl");
  EXPECT_EQ(context.push_pending_path, a2a / "push-pending.jsonl");
  EXPECT_EQ(context.push_delivery_path, a2a / "push-delivery.jsonl");
  EXPECT_EQ(context.push_dead_letter_path, a2a / "push-dead-letter.jsonl");
  EXPECT_EQ(context.push_max_attempts, 2u);

  // An absent endpoint URL replaces the default too.
  const auto bare = parse_user_broker_envelope(
      R"({"version":1,"request":{"method":"GET","target":"/"},"principal":{"authenticated":true,"clientId":"c"}})");
  ASSERT_TRUE(bare.valid);
  EXPECT_EQ(make_gateway_context(bare).endpoint_url, "");
}

TEST(RequestHandling, FailureWhileHandlingBecomesAnInternalError) {
  test::TempEnv env;
  for (const char* name : {"LOCALAPPDATA", "XDG_STATE_HOME", "USERPROFILE", "HOME"})
    env.unset(name);
  const GatewayResponse response = answer_request(true, true, kValidEnvelope, {});
  EXPECT_EQ(response.status, 500);
  const auto body = nlohmann::json::parse(response.body);
  EXPECT_EQ(body["error"]["status"], "INTERNAL");
  EXPECT_EQ(body["error"]["details"][0]["metadata"]["localCode"], "TESSIK_A2A_INTERNAL_ERROR");
  EXPECT_NE(body["error"]["message"].get<std::string>().find("could not resolve state directory"),
            std::string::npos);
}

std::vector<std::string> event_types(const fs::path& log) {
  std::vector<std::string> types;
  for (const nlohmann::json& record : test::read_jsonl(log)) types.push_back(record["event_type"]);
  return types;
}

TEST(BrokerInProcess, StopTokenEndsServingWithTheStopEvent) {
  test::TempEnv env;
  std::stop_source source;
  int exit_code = -1;
  std::thread broker([&] { exit_code = run_user_broker(source.get_token()); });
  const fs::path socket = broker_socket_path(*platform::current_session_id());
  // Serving once a request is answered.
  FrameClient client;
  const auto deadline = monotonic_now_ns() + 10'000'000'000;
  while (!client.connect(socket, deadline).completed() && monotonic_now_ns() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(client.write_frame(kValidEnvelope, deadline).completed());
  std::string response;
  ASSERT_TRUE(client.read_frame(response, deadline).completed());
  EXPECT_EQ(nlohmann::json::parse(response)["status"], 404);
  ASSERT_TRUE(client.acknowledge(deadline).completed());
  // The broker closes its end once it has taken the acknowledgement.
  char byte;
  EXPECT_EQ(client.connection().read_exact(&byte, 1, deadline, nullptr).windows_error,
            platform::kErrorBrokenPipe);
  source.request_stop();
  broker.join();
  EXPECT_EQ(exit_code, 0);
  EXPECT_EQ(event_types(env.events_log()),
            (std::vector<std::string>{"a2a_user_broker_started", "a2a_user_broker_stopped"}));
  EXPECT_FALSE(fs::exists(socket));
}

TEST(BrokerInProcess, EarlyExitsLeaveNoEvents) {
  test::TempEnv env;
  std::stop_source stopped;
  stopped.request_stop();
  EXPECT_EQ(run_user_broker(stopped.get_token()), 0);

  platform::StopSignal holder;  // owns the signal handlers, so the broker cannot
  ASSERT_TRUE(holder.open({}, true));
  EXPECT_EQ(run_user_broker({}), 14);
  holder.close();

  ASSERT_EQ(::chmod(env.pipe_dir().c_str(), 0750), 0);
  EXPECT_EQ(run_user_broker({}), 11);
  EXPECT_FALSE(fs::exists(env.state_dir()));
}

TEST(BrokerInProcess, UnwritableStateDirectoryStopsTheStart) {
  test::TempEnv env;
  std::ofstream(env.local_app_data() / "Tessik") << "a file where the state directory belongs";
  EXPECT_EQ(run_user_broker({}), 1);
}

}  // namespace
}  // namespace tessik
