// Codex desktop delivery against a scripted fake of the application's IPC socket: which
// requests go out in which order, how answers, foreign frames and bad frames are judged, and
// the nudge-and-retry path when no window owns the thread.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "base/random.h"
#include "base/text.h"
#include "platform/local_socket.h"
#include "platform/stop_signal.h"
#include "providers/codex/codex_desktop_adapter.h"
#include "providers/codex/codex_ipc_frames.h"
#include "state/state_dir.h"
#include "support/broker_process.h"
#include "support/build_paths.h"
#include "support/delivery_env.h"
#include "support/jsonl_reader.h"
#include "support/registry_rows.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

class CodexDeliveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    options_.timings.connect_timeout_ms = 2000;
    options_.timings.exchange_timeout_ms = 5000;
    options_.hydration_window_ms = 2000;
    options_.reprobe_interval_ms = 20;
    options_.open_uri = [this](const std::string& uri) {
      opened_.push_back(uri);
      return uri_answer_;
    };
    uri_answer_.opened = true;
  }

  // Starts the fake application with `rules` and waits until it listens.
  void start_fake(std::vector<std::string> rules) {
    fake_.reset();  // a killed fake leaves its socket file behind
    fs::remove(env_.pipe_dir() / "codex-ipc");
    fs::remove(log_path());
    rules.insert(rules.begin(), log_path().string());
    fake_ = std::make_unique<test::BrokerProcess>(
        std::string(TESSIK_HELPER_DIR) + "/fake_codex_ipc_server", rules);
    ASSERT_TRUE(test::wait_until([&] {
      for (const json& line : test::read_jsonl(log_path()))
        if (line.is_object() && line.value("event", "") == "listening") return true;
      return false;
    }));
  }

  fs::path log_path() const { return env_.root() / "codex-frames.jsonl"; }

  // Requests the fake received (connection markers and answers left out), in order.
  std::vector<json> requests() const {
    std::vector<json> out;
    for (const json& frame : test::read_jsonl(log_path())) {
      if (frame.value("type", "") == "request") out.push_back(frame);
    }
    return out;
  }

  std::vector<std::string> request_methods() const {
    std::vector<std::string> methods;
    for (const json& request : requests())
      methods.push_back(request["method"]);
    return methods;
  }

  DeliveryRequest request() const {
    DeliveryRequest request;
    request.message_id = "m-7";
    request.target = test::ready_row("cx", "Codex Reviewer", "codex", " thread-42 ");
    request.final_visible_body = "Message from \"Alice\"\n\nplease review\t\"requestId\":\"REQ\"";
    return request;
  }

  test::TempEnv env_;
  std::unique_ptr<test::BrokerProcess> fake_;
  CodexDesktopOptions options_;
  std::vector<std::string> opened_;
  platform::UriOpenResult uri_answer_;
};

TEST_F(CodexDeliveryTest, SteerSucceedsAndStartIsNeverSent) {
  start_fake({});
  const DeliveryResult result = deliver_to_codex_desktop(request(), options_);
  EXPECT_EQ(result.state, "accepted_by_provider") << result.error << result.evidence;
  EXPECT_TRUE(result.accepted);
  EXPECT_EQ(result.method, "codex_desktop_ipc_thread-follower-steer-turn");
  EXPECT_EQ(result.evidence,
            "thread_id=thread-42 owner_probe=owner_found send=thread-follower-steer-turn");
  EXPECT_EQ(request_methods(),
            (std::vector<std::string>{"initialize", "thread-follower-load-complete-history",
                                      "initialize", "thread-follower-steer-turn"}));
  EXPECT_TRUE(opened_.empty());

  const std::vector<json> sent = requests();
  EXPECT_EQ(sent[0]["params"], json({{"clientType", "tessik"}}));
  EXPECT_EQ(sent[1]["params"]["conversationId"], "thread-42");
  const json& steer = sent[3]["params"];
  EXPECT_EQ(steer["conversationId"], "thread-42");
  EXPECT_EQ(steer["input"][0]["text"], request().final_visible_body);
  EXPECT_EQ(steer["restoreMessage"]["context"]["prompt"], request().final_visible_body);
  EXPECT_EQ(steer["restoreMessage"]["id"], steer["clientUserMessageId"]);
  EXPECT_EQ(steer["restoreMessage"]["cwd"], fs::current_path().string());
  const json metadata = json::parse(
      steer["restoreMessage"]["responsesapiClientMetadata"]["message_metadata"].get<std::string>());
  EXPECT_EQ(metadata, json({{"source", "tessik"},
                            {"transport", "codex_desktop_ipc"},
                            {"message_id", "m-7"},
                            {"target_agent", "Codex Reviewer"},
                            {"target_thread_id", "thread-42"}}));
  // Every request has its own fresh id.
  for (std::size_t i = 0; i < sent.size(); ++i) {
    EXPECT_TRUE(is_uuid_text(sent[i]["requestId"].get<std::string>())) << sent[i];
    for (std::size_t j = 0; j < i; ++j)
      EXPECT_NE(sent[i]["requestId"], sent[j]["requestId"]);
  }
}

TEST_F(CodexDeliveryTest, FailedSteerFallsBackToStartWithTheSameClientMessage) {
  start_fake({"thread-follower-load-complete-history=error", "thread-follower-steer-turn=error"});
  const DeliveryResult result = deliver_to_codex_desktop(request(), options_);
  ASSERT_TRUE(result.accepted) << result.error << result.evidence;
  EXPECT_EQ(result.method, "codex_desktop_ipc_thread-follower-start-turn");
  EXPECT_EQ(result.evidence,
            "thread_id=thread-42 owner_probe=owner_missing send=thread-follower-start-turn "
            "owner_probe_gate=bypassed_by_accepted_desktop_ipc_send owner_error=Codex Desktop "
            "IPC returned error for thread-follower-load-complete-history: fake refusal of "
            "thread-follower-load-complete-history");
  const std::vector<json> sent = requests();
  ASSERT_EQ(sent.size(), 5u);
  EXPECT_EQ(sent[4]["method"], "thread-follower-start-turn");
  const json& start = sent[4]["params"];
  EXPECT_EQ(start["turnStartParams"]["clientUserMessageId"],
            sent[3]["params"]["clientUserMessageId"]);
  EXPECT_EQ(start["turnStartParams"]["input"][0]["text"], request().final_visible_body);
  EXPECT_NE(sent[4]["requestId"], sent[3]["requestId"]);
  EXPECT_TRUE(opened_.empty());
}

TEST_F(CodexDeliveryTest, ForeignResponsesAreSkippedAndDiscoveryIsDeclined) {
  // The foreign responses carry the opposite verdict: taking one for ours would flip the result.
  start_fake({"thread-follower-steer-turn=discovery+foreign+notice+error",
              "thread-follower-start-turn=foreign+discovery+success"});
  const DeliveryResult result = deliver_to_codex_desktop(request(), options_);
  ASSERT_TRUE(result.accepted) << result.error;
  EXPECT_EQ(result.method, "codex_desktop_ipc_thread-follower-start-turn");

  std::vector<json> answers;
  for (const json& frame : test::read_jsonl(log_path())) {
    if (frame.value("type", "") == "client-discovery-response") answers.push_back(frame);
  }
  ASSERT_EQ(answers.size(), 2u);
  const std::vector<json> sent = requests();
  EXPECT_EQ(answers[0], json({{"type", "client-discovery-response"},
                              {"requestId", "disc-" + sent[3]["requestId"].get<std::string>()},
                              {"discoveryId", "d-1"},
                              {"method", "open-thread"},
                              {"params", {{"clientType", "tessik"}, {"canHandle", false}}}}));
}

TEST_F(CodexDeliveryTest, BothAttemptsFailingNudgeTheAppAndRetryOnceAnOwnerAppears) {
  start_fake({"thread-follower-load-complete-history#2=error", "thread-follower-steer-turn#1=error",
              "thread-follower-start-turn#1=error"});
  const DeliveryResult result = deliver_to_codex_desktop(request(), options_);
  ASSERT_TRUE(result.accepted) << result.error << result.evidence;
  EXPECT_EQ(result.method, "codex_desktop_ipc_thread-follower-steer-turn");
  EXPECT_EQ(result.evidence,
            "thread_id=thread-42 owner_probe=owner_missing hydration=opened "
            "post_hydration_owner=owner_found send=thread-follower-steer-turn");
  EXPECT_EQ(opened_, std::vector<std::string>{"codex://threads/thread-42"});
  const auto nudges = test::read_events(delivery_log_path(), "codex_thread_refresh_started");
  ASSERT_EQ(nudges.size(), 1u);
  EXPECT_EQ(nudges[0]["uri"], "codex://threads/thread-42");
  // initial probe, first submission, two re-probes (the second finds the owner), final steer
  const std::vector<std::string> methods = request_methods();
  EXPECT_EQ(std::count(methods.begin(), methods.end(), "thread-follower-load-complete-history"), 3);
  EXPECT_EQ(methods.back(), "thread-follower-steer-turn");
}

TEST_F(CodexDeliveryTest, RefusedNudgeEndsWithItsOwnMessage) {
  start_fake({"thread-follower-steer-turn=error", "thread-follower-start-turn=error"});
  uri_answer_ = {false, 2, "ShellExecute failed: 2"};
  const DeliveryResult result = deliver_to_codex_desktop(request(), options_);
  EXPECT_EQ(result.state, "failed");
  EXPECT_EQ(result.method, "codex_desktop_ipc");
  EXPECT_EQ(result.error, "Codex Desktop IPC owner not available and hydration nudge failed");
  EXPECT_EQ(result.evidence,
            "thread_id=thread-42 first_send=steer_and_start first_send_error=Codex Desktop IPC "
            "send failed: Codex Desktop IPC could not steer or start the target conversation. "
            "first_error=Codex Desktop IPC returned error for thread-follower-steer-turn: fake "
            "refusal of thread-follower-steer-turn second_error=Codex Desktop IPC returned error "
            "for thread-follower-start-turn: fake refusal of thread-follower-start-turn "
            "hydration=ShellExecute failed: 2 alternate_transport=disabled");
}

TEST_F(CodexDeliveryTest, NoOwnerAfterHydrationStillTriesOnceMoreAndReportsEverything) {
  start_fake({"thread-follower-load-complete-history=error", "thread-follower-steer-turn=error",
              "thread-follower-start-turn=error"});
  options_.hydration_window_ms = 200;
  const DeliveryResult result = deliver_to_codex_desktop(request(), options_);
  EXPECT_EQ(result.state, "failed");
  EXPECT_EQ(result.error, "Codex Desktop IPC owner unavailable and direct send failed");
  for (const char* part :
       {"thread_id=thread-42 initial_owner_probe=owner_missing initial_owner_evidence=pipe=",
        " first_send=steer_and_start first_send_error=Codex Desktop IPC send failed:",
        " post_hydration_owner=owner_missing post_hydration_owner_evidence=pipe=",
        " post_hydration_owner_error=Codex Desktop IPC returned error for "
        "thread-follower-load-complete-history",
        " final_send=steer_and_start final_send_error=Codex Desktop IPC send failed:",
        " first_attempt=error_response second_attempt=error_response"}) {
    EXPECT_NE(result.evidence.find(part), std::string::npos) << part << "\n" << result.evidence;
  }
  const std::vector<std::string> methods = request_methods();
  EXPECT_EQ(std::count(methods.begin(), methods.end(), "thread-follower-steer-turn"), 2);
  EXPECT_EQ(std::count(methods.begin(), methods.end(), "thread-follower-start-turn"), 2);
}

TEST_F(CodexDeliveryTest, BadPeersEndTheExchangeWithTheirMessage) {
  options_.timings.exchange_timeout_ms = 300;
  const std::pair<const char*, const char*> cases[] = {
      {"zero-length", "invalid Codex Desktop IPC frame length 0"},
      {"oversize", "invalid Codex Desktop IPC frame length 67108865"},
      {"garbage", "Codex Desktop IPC frame is not valid JSON"},
      {"silent", "timed out waiting for Codex Desktop IPC response"},
      {"close", "failed to peek Codex Desktop IPC pipe error=109"},
      {"error", "Codex Desktop IPC returned error for initialize: fake refusal of initialize"},
  };
  for (const auto& [step, message] : cases) {
    start_fake({std::string("initialize=") + step});
    const CodexOwnerProbe probe =
        probe_codex_owner(env_.pipe_dir() / "codex-ipc", "thread-42", options_.timings);
    EXPECT_EQ(probe.result, "initialize_failed") << step;
    EXPECT_EQ(probe.error, std::string("failed to initialize Codex Desktop IPC client: ") + message)
        << step;
  }
}

TEST_F(CodexDeliveryTest, MissingPipeAndMissingThreadFailWithoutWaiting) {
  const CodexOwnerProbe probe =
      probe_codex_owner(env_.pipe_dir() / "codex-ipc", "thread-42", options_.timings);
  EXPECT_EQ(probe.result, "pipe_unavailable");
  EXPECT_EQ(probe.error,
            "failed to connect to Codex Desktop IPC pipe: failed to connect to Codex Desktop IPC "
            "pipe error=2");

  uri_answer_ = {false, 2, "ShellExecute failed: 2"};
  const DeliveryResult no_app = deliver_to_codex_desktop(request(), options_);
  EXPECT_EQ(no_app.error, "Codex Desktop IPC owner not available and hydration nudge failed");
  EXPECT_NE(no_app.evidence.find(" first_send=client_session "), std::string::npos);

  DeliveryRequest blank = request();
  blank.target.provider_session_id = "  ";
  const DeliveryResult missing = deliver_to_codex_desktop(blank, options_);
  EXPECT_EQ(missing.error, "Codex target is missing provider_session_id");
  EXPECT_EQ(missing.evidence,
            "provider=codex requires provider_session_id to be the Codex thread id");
  EXPECT_EQ(opened_.size(), 1u);  // only the delivery that had a thread nudged the app
}

TEST_F(CodexDeliveryTest, BusyPipeIsWaitedForUntilTheConnectTimeOut) {
  platform::LocalSocketServer server;
  ASSERT_EQ(server.listen("codex-ipc"), platform::ListenStatus::listening) << server.error();
  // Clients the application has not accepted fill its backlog: the pipe is busy.
  std::vector<platform::LocalConnection> queued;
  for (;;) {
    platform::LocalConnection connection;
    const platform::PipeIoResult io = platform::connect_local_socket(server.path(), 0, connection);
    if (!io.completed()) {
      ASSERT_EQ(io.status, platform::PipeIoStatus::timed_out);
      break;
    }
    queued.push_back(std::move(connection));
    ASSERT_LT(queued.size(), 10000u);
  }
  options_.timings.connect_timeout_ms = 100;
  const CodexOwnerProbe busy = probe_codex_owner(server.path(), "thread-42", options_.timings);
  EXPECT_EQ(busy.result, "pipe_unavailable");
  EXPECT_EQ(busy.error,
            "failed to connect to Codex Desktop IPC pipe: timed out connecting to Codex Desktop "
            "IPC pipe");

  // Once the application accepts again, the waiting client gets in and is served.
  platform::StopSignal stop;
  ASSERT_TRUE(stop.open({}, false));
  std::thread application([&] {
    const std::int64_t deadline = monotonic_now_ns() + 10'000'000'000;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    platform::LocalConnection client;
    for (std::size_t i = 0; i <= queued.size(); ++i) {
      if (!server.wait_for_client(deadline, stop, client).completed()) return;
    }
    for (int answered = 0; answered < 2; ++answered) {  // initialize, then the owner probe
      const CodexFrameRead frame = read_codex_frame(client, deadline);
      if (!frame.ok) return;
      const json request = json::parse(frame.body);
      write_codex_frame(client,
                        json({{"type", "response"},
                              {"requestId", request["requestId"]},
                              {"resultType", "success"}})
                            .dump(),
                        deadline);
    }
  });
  options_.timings.connect_timeout_ms = 10000;
  const CodexOwnerProbe waited = probe_codex_owner(server.path(), "thread-42", options_.timings);
  application.join();
  EXPECT_EQ(waited.result, "owner_found") << waited.error;
}

}  // namespace
}  // namespace tessik
