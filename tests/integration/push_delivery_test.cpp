// Push callbacks over real HTTP: a loopback callback server receives the updates of a task
// sent through the API-service stand-in and the broker; in-process runs show address pinning,
// an oversized answer and a hanging callback; `tessik push` reports what happened.
#include "a2a/push/push_delivery.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "a2a/push/push_config_store.h"
#include "base/sha256.h"
#include "support/build_paths.h"
#include "support/command_run.h"
#include "support/gateway_stack.h"
#include "support/jsonl_reader.h"
#include "support/loopback_http_server.h"
#include "support/task_fixtures.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

using nlohmann::json;

struct Received {
  std::string path;
  std::string body;
  std::map<std::string, std::string> headers;
};

// A callback server that records every POST and answers with the status its path names.
class CallbackServer {
 public:
  explicit CallbackServer(const std::string& host = "127.0.0.1") {
    server_.server().Post(R"(/(\w+))",
                          [this](const httplib::Request& request, httplib::Response& response) {
                            Received received{request.path, request.body, {}};
                            for (const auto& [name, value] : request.headers)
                              received.headers[name] = value;
                            {
                              std::lock_guard lock(mutex_);
                              received_.push_back(std::move(received));
                            }
                            response.status = request.matches[1] == "fail" ? 500 : 204;
                          });
    server_.start(host);
  }
  std::string url(const std::string& path) const { return server_.url(path); }
  int port() const { return server_.port(); }
  std::vector<Received> received() {
    std::lock_guard lock(mutex_);
    return received_;
  }

 private:
  test::LoopbackHttpServer server_;
  std::mutex mutex_;
  std::vector<Received> received_;
};

std::string run_cli(const test::TempEnv& env, const std::string& args) {
  const test::CommandRun run = test::run_tessik(env.root(), "push " + args);
  EXPECT_EQ(run.code, 0) << run.err;
  return run.out;
}

// Every regular file of the state directory, concatenated.
std::string whole_state_tree(const std::filesystem::path& root) {
  std::string all;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) all += test::read_file(entry.path());
  }
  return all;
}

// The broker and the stand-in in a fresh environment, a callback server, and a registry
// client whose token may send, read, cancel and manage push configurations.
class PushStackTest : public ::testing::Test {
 protected:
  PushStackTest() {
    env.set("TESSIK_SERVICE_UID", std::to_string(::getuid()));
    env.set("TESSIK_EXE", TESSIK_BINARY);
    stack = std::make_unique<test::GatewayStack>();
    test::write_file(env.state_dir() / "a2a" / "clients.tsv",
                     sha256_hex(token) +
                         "\tpush-client\tpush-agent\t\t"
                         "agent.send,task.read,task.cancel,task.push\n");
    client = std::make_unique<httplib::Client>("127.0.0.1", stack->port());
    client->set_read_timeout(60);
  }

  // Sends a text message (with `configuration` unless it is null); the answered task.
  json send(const std::string& message_id, const std::string& text, json configuration = nullptr) {
    json body = {
        {"message",
         {{"messageId", message_id}, {"role", "ROLE_USER"}, {"parts", {{{"text", text}}}}}}};
    if (!configuration.is_null()) body["configuration"] = std::move(configuration);
    const auto sent = client->Post("/a2a/message:send", headers, body.dump(), "application/json");
    EXPECT_TRUE(sent && sent->status == 200) << (sent ? sent->body : "no answer");
    return sent && sent->status == 200 ? json::parse(sent->body)["task"] : json::object();
  }

  test::TempEnv env;
  CallbackServer callbacks;
  std::unique_ptr<test::GatewayStack> stack;
  const std::string token = "push-client-token-0123456789";
  std::unique_ptr<httplib::Client> client;
  const httplib::Headers headers = {{"Authorization", "Bearer " + token}, {"A2A-Version", "1.0"}};
};

TEST_F(PushStackTest, SendWithInlineConfigurationPushesUpdatesToTheCallback) {
  const std::string task_id =
      send("push-it-1", "hello with a callback",
           {{"taskPushNotificationConfig",
             {{"id", "cb"},
              {"url", callbacks.url("/ok?key=url-secret")},
              {"token", "token-secret"},
              {"authentication", {{"scheme", "Bearer"}, {"credentials", "credential-secret"}}}}}})
          .value("id", "");
  ASSERT_FALSE(task_id.empty());

  // The run happened inside the request: both documents are there when the answer is.
  std::vector<Received> received = callbacks.received();
  ASSERT_EQ(received.size(), 2u);
  EXPECT_TRUE(received[0].body.starts_with("{\"task\":"));
  EXPECT_TRUE(received[1].body.starts_with("{\"statusUpdate\":"));
  EXPECT_EQ(json::parse(received[1].body)["statusUpdate"]["taskId"], task_id);
  for (const Received& post : received) {
    EXPECT_EQ(post.headers.at("Authorization"), "Bearer credential-secret");
    EXPECT_EQ(post.headers.at("Content-Type"), "application/a2a+json");
    EXPECT_EQ(post.headers.at("Idempotency-Key"), post.headers.at("X-Tessik-Push-Delivery-Id"));
    EXPECT_EQ(post.headers.at("Idempotency-Key"), push_delivery_id(task_id, "cb", post.body));
  }

  // A second callback that fails: the cancellation's two documents reach both; the failing
  // callback's are retried by the next request's run and then dead-lettered.
  const auto added = client->Post("/a2a/tasks/" + task_id + "/pushNotificationConfigs", headers,
                                  json({{"id", "bad"}, {"url", callbacks.url("/fail")}}).dump(),
                                  "application/json");
  ASSERT_TRUE(added);
  ASSERT_EQ(added->status, 200) << added->body;
  const auto cancelled =
      client->Post("/a2a/tasks/" + task_id + ":cancel", headers, "{}", "application/json");
  ASSERT_TRUE(cancelled);
  ASSERT_EQ(cancelled->status, 200) << cancelled->body;
  std::this_thread::sleep_for(std::chrono::milliseconds(150));  // past the retry delay
  send("push-it-2", "no callback");

  const std::vector<json> dead =
      test::read_jsonl(env.state_dir() / "a2a" / "push-dead-letter.jsonl");
  ASSERT_EQ(dead.size(), 2u);
  EXPECT_EQ(dead[0]["configId"], "bad");
  EXPECT_EQ(dead[0]["statusCode"], 500);
  EXPECT_EQ(dead[0]["attempt"], 2);
  // The delivery log: the 204 callback's documents delivered at their first attempt; the
  // failing callback's retried once each, then dead-lettered.
  std::vector<json> bad_attempts;
  for (const json& line : test::read_jsonl(env.state_dir() / "a2a" / "push-delivery.jsonl")) {
    if (line["configId"] == "bad") {
      bad_attempts.push_back(line);
      continue;
    }
    EXPECT_EQ(line["outcome"], "delivered");
    EXPECT_EQ(line["attempt"], 1);
    EXPECT_EQ(line["statusCode"], 204);
  }
  ASSERT_EQ(bad_attempts.size(), 4u);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(bad_attempts[i]["outcome"], "retry_scheduled");
    EXPECT_EQ(bad_attempts[i]["nextRetryAfter"], "100ms");
    EXPECT_EQ(bad_attempts[i]["statusCode"], 500);
    EXPECT_EQ(bad_attempts[i + 2]["outcome"], "dead_letter");
    EXPECT_EQ(bad_attempts[i + 2], dead[i]);
  }

  const json report = json::parse(run_cli(env, "--json"));
  EXPECT_EQ(report["configs"].size(), 2u);
  EXPECT_EQ(report["counts"]["delivered"], 4);
  EXPECT_EQ(report["counts"]["dead_letter"], 2);
  const std::string text = run_cli(env, "");
  EXPECT_NE(text.find("dead_letter\t" + task_id + "\tbad"), std::string::npos) << text;
  EXPECT_NE(text.find("token=yes\tauth=Bearer"), std::string::npos) << text;

  // No secret and no full callback URL anywhere in the state directory or the report.
  const std::string everything = whole_state_tree(env.state_dir()) + text + report.dump();
  for (const std::string& secret :
       {std::string("token-secret"), std::string("credential-secret"), std::string("url-secret"),
        "127.0.0.1:" + std::to_string(callbacks.port())}) {
    EXPECT_EQ(everything.find(secret), std::string::npos) << secret;
  }
}

TEST_F(PushStackTest, AReplyPushesTheCompletedTaskWithItsArtifact) {
  const json task =
      send("push-reply-1", "please answer",
           {{"taskPushNotificationConfig", {{"id", "cb"}, {"url", callbacks.url("/ok")}}}});
  ASSERT_TRUE(task.contains("metadata"));
  const std::string operation = task["metadata"]["tessikMessageId"];
  ASSERT_EQ(callbacks.received().size(), 2u);

  // The reply arrives through the send command, as an assistant's MCP tool sends it.
  const std::string command = std::string("'") + TESSIK_BINARY +
                              "' send --to mailbox --from replier --source-context "
                              "tessik-operation:" +
                              operation + " 'the answer' >/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);
  const std::vector<Received> received = callbacks.received();
  ASSERT_EQ(received.size(), 5u);
  const json snapshot = json::parse(received[2].body);
  EXPECT_EQ(snapshot["task"]["status"]["state"], "TASK_STATE_COMPLETED");
  const json status = json::parse(received[3].body)["statusUpdate"];
  EXPECT_EQ(status["final"], true);
  const json artifact = json::parse(received[4].body)["artifactUpdate"];
  EXPECT_EQ(artifact["taskId"], task["id"]);
  EXPECT_EQ(artifact["artifact"]["parts"][0]["text"], "the answer");
}

class InProcessPushTest : public ::testing::Test {
 protected:
  InProcessPushTest() {
    test::use_push_files_in(context_, env_.state_dir() / "a2a");
    context_.push_max_attempts = 1;
    task_ = test::stored_task("task-x", "client-a", "2026-01-01T00:00:01Z");
  }

  void configure(const std::string& url) {
    PushConfig config;
    config.task_id = task_.id;
    config.id = "c";
    config.url = url;
    append_push_config(context_.push_configs_path, config);
  }

  json last_attempt() const { return test::read_jsonl(context_.push_delivery_path).back(); }

  test::TempEnv env_;
  GatewayContext context_;
  TaskRecord task_;
};

TEST_F(InProcessPushTest, OnlyTheApprovedAddressesAreConnected) {
  CallbackServer callbacks;  // listens on 127.0.0.1 only
  std::vector<std::string> approved = {"127.0.0.1"};
  context_.push_resolver = [&](const std::string&) { return A2aDnsResolveResult{approved, ""}; };
  // The name is connected at the address the policy approved.
  configure("http://localhost:" + std::to_string(callbacks.port()) + "/ok");
  EXPECT_EQ(enqueue_task_push(context_, task_).delivered, 2) << last_attempt().dump();
  EXPECT_EQ(callbacks.received().size(), 2u);

  // An address the policy did not approve is never connected, even on loopback.
  configure("http://127.0.0.5:" + std::to_string(callbacks.port()) + "/ok");
  task_.state = kTaskStateCanceled;
  EXPECT_EQ(enqueue_task_push(context_, task_).dead_lettered, 2);
  EXPECT_EQ(callbacks.received().size(), 2u);
  EXPECT_EQ(last_attempt()["statusCode"], 0);
  EXPECT_EQ(last_attempt()["error"],
            "remote callback socket address was not in approved DNS result set");

  // The policy's resolution is the only one: when the client connects, "localhost" resolves
  // to 127.0.0.1, yet the posts reach 127.0.0.2, the address the policy approved.
  CallbackServer pinned("127.0.0.2");
  approved = {"127.0.0.2"};
  configure("http://localhost:" + std::to_string(pinned.port()) + "/ok");
  task_.state = kTaskStateCompleted;
  EXPECT_EQ(enqueue_task_push(context_, task_).delivered, 2) << last_attempt().dump();
  EXPECT_EQ(pinned.received().size(), 2u);
  EXPECT_EQ(callbacks.received().size(), 2u);
}

TEST_F(InProcessPushTest, OversizedAnswerIsCutOffAndAHangingCallbackCostsTheTimeOut) {
  // The server outlives nothing its handlers use: it is declared last so that it stops first.
  std::mutex mutex;
  std::condition_variable released_cv;
  bool released = false;
  test::LoopbackHttpServer server;
  server.server().Post("/big", [](const httplib::Request&, httplib::Response& response) {
    response.status = 200;
    response.set_content(std::string(5 * 1024 * 1024, 'x'), "text/plain");
  });
  server.server().Post("/hang", [&](const httplib::Request&, httplib::Response& response) {
    std::unique_lock lock(mutex);
    released_cv.wait_for(lock, std::chrono::seconds(60), [&] { return released; });
    response.status = 204;
  });
  server.start();

  configure(server.url("/big"));
  context_.push_deliveries_per_run = 1;
  EXPECT_EQ(enqueue_task_push(context_, task_).dead_lettered, 1);
  EXPECT_EQ(last_attempt()["error"], "HTTP response body exceeds 4 MiB");

  // The same configuration id now points at a callback that never answers: the post gives up
  // with the client's error instead of holding the request.
  configure(server.url("/hang"));
  task_.state = kTaskStateCanceled;
  const PushRunSummary hung = enqueue_task_push(context_, task_);
  {
    std::lock_guard lock(mutex);
    released = true;
  }
  released_cv.notify_all();
  EXPECT_EQ(hung.dead_lettered, 1);
  EXPECT_FALSE(last_attempt()["error"].get<std::string>().empty());
  EXPECT_EQ(last_attempt()["statusCode"], 0);
}

}  // namespace
}  // namespace tessik
