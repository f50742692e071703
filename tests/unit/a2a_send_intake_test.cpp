// SendMessage at the gateway: validation and its classification, the send fields, the agent
// scope, continuation, rejected tasks, the stored task and the 0.3 rendering.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "a2a/gateway/route_handlers.h"
#include "a2a/intake/send_intake.h"
#include "a2a/intake/send_validation.h"
#include "a2a/tasks/task_log.h"
#include "a2a/tasks/task_record.h"
#include "registry/normalization.h"
#include "state/state_dir.h"
#include "support/delivery_env.h"
#include "support/gateway_fixture.h"

namespace tessik {
namespace {

using nlohmann::json;

std::string send_body(const std::string& text, const std::string& message_id = "m-1",
                      const std::string& extra = "") {
  return R"({"message":{"messageId":")" + message_id +
         R"(","role":"ROLE_USER","parts":[{"text":")" + text + R"("}]})" + extra + "}";
}

class SendIntakeTest : public ::testing::Test {
 protected:
  SendIntakeTest() {
    // The hand-off launches a worker; these tests stop at the hand-off.
    f_.env.set("TESSIK_EXE", "/bin/true");
    f_.context.principal.sender_agent = "local-a2a-client";
    AgentRecord mailbox = builtin_mailbox_record();
    normalize_agent_record(mailbox);
    mailbox_ = mailbox;
  }

  GatewayResponse post(const std::string& body, const std::string& path = "/a2a/message:send",
                       std::map<std::string, std::string> headers = {}) {
    headers.emplace("Content-Type", "application/json");
    headers.emplace("A2A-Version", "1.0");
    return f_.call(f_.authorized("POST", path, headers, body));
  }

  std::filesystem::path task_log() const { return f_.env.state_dir() / "a2a" / "tasks.jsonl"; }

  test::GatewayFixture f_;
  AgentRecord mailbox_;
};

json error_of(const GatewayResponse& response) {
  return json::parse(response.body)["error"];
}
std::string local_code_of(const GatewayResponse& response) {
  return error_of(response)["details"][0]["metadata"]["localCode"];
}

TEST_F(SendIntakeTest, ValidationFailuresAreClassifiedAs415Or400) {
  struct Case {
    std::string body;
    int status;
    std::string message;
  };
  const std::string text_part = R"({"text":"hi"})";
  const auto message = [](const std::string& inner) { return R"({"message":)" + inner + "}"; };
  const std::vector<Case> cases = {
      {message(R"({"messageId":"m","role":"user","parts":[{"text":"a"},{"data":{}}]})"), 415,
       "A2A send currently supports text parts only."},
      {send_body("hi", "m", R"(,"configuration":{"acceptedOutputModes":[]})"), 415,
       "A2A send currently supports text/plain output only."},
      {message(R"({"messageId":"m","role":"user","parts":[{"text":"a","url":"u"}]})"), 400,
       "A2A send message parts must contain exactly one content field."},
      {message(R"({"messageId":"m","role":"agent","parts":[)" + text_part + "]}"), 400,
       "A2A send message role must be user."},
      {R"({"metadata":[]})", 400, "A2A send metadata must be a JSON object."},
      {R"({"configuration":{"historyLength":-1}})", 400,
       "A2A send historyLength must be a non-negative integer."},
      {R"({"configuration":{"acceptedOutputModes":"text/plain"}})", 400,
       "A2A acceptedOutputModes must be an array."},
      {"{}", 400, "A2A send requires a message object."},
      {message("[]"), 400, "A2A send message must be a JSON object."},
      {message(R"({"role":"user","parts":[]})"), 400, "A2A send message requires messageId."},
      {message(R"({"messageId":"m","role":"user","parts":[]})"), 400,
       "A2A send message parts must not be empty."},
      {message(R"({"messageId":"m","role":"user","parts":[{"text":"  "}]})"), 400,
       "A2A send text parts must contain non-empty text."},
  };
  for (const Case& c : cases) {
    const GatewayResponse response = post(c.body);
    EXPECT_EQ(response.status, c.status) << c.body;
    EXPECT_EQ(error_of(response)["message"], c.message) << c.body;
    EXPECT_EQ(local_code_of(response),
              c.status == 415 ? "ContentTypeNotSupportedError" : "TESSIK_A2A_SEND_INVALID");
  }
  EXPECT_FALSE(std::filesystem::exists(task_log())) << "a refused request leaves no task";
}

TEST(SendValidation, RoleIgnoresCaseAndTextPlainIsFoundAmongModes) {
  EXPECT_FALSE(validate_send_params(
      R"({"message":{"messageId":"m","role":" USER ","parts":[{"text":"x"}]},
          "configuration":{"acceptedOutputModes":["application/json","text/plain"]}})"));
}

TEST(SendValidation, AliasesAreTriedInOrderAndBlankValuesSkipped) {
  const SendIntake intake = extract_send_intake(
      R"({"id":"t-1","targetId":"  ","metadata":{"skillId":"pub-7","from":"alice"},
          "message":{"messageId":"m","taskId":"ignored","metadata":{"to":"bob"},
                     "parts":[{"text":"one"},{"text":"two"}]},
          "configuration":{"history_length":3,"historyLength":9}})");
  EXPECT_EQ(intake.task_id, "t-1");
  EXPECT_EQ(intake.target_id, "pub-7");
  EXPECT_EQ(intake.target_agent, "bob");
  EXPECT_EQ(intake.requester_agent, "alice");
  EXPECT_EQ(intake.text, "one\ntwo");
  EXPECT_EQ(intake.history_length, 3);
  EXPECT_NE(intake.message_json.find("\"messageId\":\"m\""), std::string::npos);
}

TEST_F(SendIntakeTest, OnlyTheMailboxIsDeliverableSoItReceivesTheSendAndTheTaskIsStored) {
  const GatewayResponse response = post(send_body("hello mailbox"));
  ASSERT_EQ(response.status, 200) << response.body;
  const json task = json::parse(response.body)["task"];
  EXPECT_EQ(task["status"]["state"], "TASK_STATE_WORKING");
  EXPECT_EQ(task["metadata"]["tessikTargetAgent"], agent_registry_name(mailbox_));
  EXPECT_EQ(task["metadata"]["tessikRequesterAgent"], "local-a2a-client");
  EXPECT_EQ(task["metadata"]["tessikEvents"].size(), 3u);
  EXPECT_EQ(task["history"].size(), 1u);
  const auto stored = find_latest_task_line(task_log(), task["id"].get<std::string>());
  ASSERT_TRUE(stored);
  EXPECT_EQ(json::parse(*stored)["status"]["state"], "TASK_STATE_WORKING");
}

TEST_F(SendIntakeTest, TheTaskIsStoredAsSubmittedBeforeTheHandOffAndCompletedAfterIt) {
  // The "worker" copies the task log as it stands when the hand-off starts it.
  const std::filesystem::path snapshot = f_.env.root() / "tasks-at-handoff.jsonl";
  const std::filesystem::path worker = f_.env.root() / "snapshot-worker";
  std::ofstream(worker) << "#!/bin/sh\n/bin/cp '" << task_log().string() << "' '"
                        << snapshot.string() << ".part' && /bin/mv '" << snapshot.string()
                        << ".part' '" << snapshot.string() << "'\n";
  std::filesystem::permissions(worker, std::filesystem::perms::owner_all);
  f_.env.set("TESSIK_EXE", worker.string());

  const GatewayResponse response = post(send_body("recorded first"));
  ASSERT_EQ(response.status, 200) << response.body;
  const json task = json::parse(response.body)["task"];
  const std::string message_id = task["metadata"]["tessikMessageId"];
  ASSERT_EQ(message_id.size(), 32u);
  ASSERT_TRUE(test::wait_until([&] { return std::filesystem::exists(snapshot); })) << response.body;

  // The worker may run before or after the final record; the submitted one is there either way.
  const std::string copied = test::read_file(snapshot);
  const json submitted = json::parse(copied.substr(0, copied.find('\n')));
  EXPECT_EQ(submitted["id"], task["id"]);
  EXPECT_EQ(submitted["status"]["state"], "TASK_STATE_SUBMITTED");
  EXPECT_EQ(submitted["metadata"]["tessikMessageId"], message_id);
  EXPECT_EQ(submitted["metadata"]["tessikTargetAgent"], agent_registry_name(mailbox_));
  EXPECT_EQ(submitted["metadata"]["tessikEvents"].size(), 1u);
  EXPECT_EQ(submitted["history"].size(), 1u);

  // The final record replaces it for every reader.
  const auto latest = find_latest_task_line(task_log(), task["id"].get<std::string>());
  ASSERT_TRUE(latest);
  EXPECT_EQ(json::parse(*latest)["status"]["state"], "TASK_STATE_WORKING");
  EXPECT_EQ(json::parse(*latest)["metadata"]["tessikMessageId"], message_id);
  EXPECT_EQ(read_latest_task_lines(task_log()).size(), 1u);
}

TEST_F(SendIntakeTest, TwoDeliverableAgentsNeedATargetAndAnUnknownTargetIdIsRejected) {
  f_.write_registry({test::make_agent("claude-1", "claude_code_cli", "s-1")});
  GatewayResponse response = post(send_body("hi"));
  EXPECT_EQ(response.status, 400);
  EXPECT_EQ(error_of(response)["message"],
            "A2A send requires a target agent because multiple sendable A2A agents are "
            "registered.");

  response = post(send_body("hi", "m-2", R"(,"targetId":"no-such-agent")"));
  ASSERT_EQ(response.status, 200);
  const json task = json::parse(response.body)["task"];
  EXPECT_EQ(task["status"]["state"], "TASK_STATE_REJECTED");
  EXPECT_EQ(task["metadata"]["tessikErrorCode"], "TESSIK_A2A_TARGET_NOT_FOUND");
  EXPECT_EQ(task["metadata"]["tessikEvents"].size(), 2u);
  EXPECT_TRUE(find_latest_task_line(task_log(), task["id"].get<std::string>()));
}

TEST_F(SendIntakeTest, AgentScopedSendRefusesAnotherTarget) {
  const AgentRecord claude = test::make_agent("claude-1", "claude_code_cli", "s-1");
  f_.write_registry({claude});
  const std::string path = "/a2a/agents/" + claude.public_agent_id + "/message:send";
  GatewayResponse response =
      post(send_body("hi", "m", R"(,"targetId":")" + mailbox_.public_agent_id + "\""), path);
  EXPECT_EQ(response.status, 400);
  EXPECT_EQ(local_code_of(response), "TESSIK_A2A_SCOPED_TARGET_MISMATCH");
  EXPECT_EQ(error_of(response)["message"],
            "Agent-scoped endpoint targetId does not match the endpoint agent.");
  response = post(send_body("hi", "m", R"(,"metadata":{"targetAgent":"someone-else"})"), path);
  EXPECT_EQ(error_of(response)["message"],
            "Agent-scoped endpoint targetAgent does not match the endpoint agent.");
}

TEST_F(SendIntakeTest, AgentScopedSendWithoutATargetGoesToTheScopedAgentOnBothBindings) {
  f_.write_registry({test::make_agent("claude-1", "claude_code_cli", "s-1"),
                     test::make_agent("claude-2", "claude_code_cli", "s-2")});
  const std::string scope = "/a2a/agents/" + mailbox_.public_agent_id;
  GatewayResponse response = post(send_body("scoped rest"), scope + "/message:send");
  ASSERT_EQ(response.status, 200) << response.body;
  json task = json::parse(response.body)["task"];
  EXPECT_EQ(task["metadata"]["tessikTargetProviderSessionId"], "tessik_mailbox:default");
  EXPECT_EQ(task["status"]["state"], "TASK_STATE_WORKING");

  const std::string rpc = R"({"jsonrpc":"2.0","id":1,"method":"SendMessage","params":)" +
                          send_body("scoped rpc", "m-rpc") + "}";
  response = post(rpc, scope + "/a2a");
  ASSERT_EQ(response.status, 200) << response.body;
  task = json::parse(response.body)["result"]["task"];
  EXPECT_EQ(task["metadata"]["tessikTargetProviderSessionId"], "tessik_mailbox:default");
  EXPECT_EQ(task["metadata"]["tessikTargetAgent"], agent_registry_name(mailbox_));

  // The gateway's own endpoint still needs a target when several agents could take it.
  response = post(send_body("unscoped", "m-3"));
  EXPECT_EQ(response.status, 400);
}

TEST_F(SendIntakeTest, ATaskAddressedByAnAliasStoresItsRowAndCanBeContinued) {
  f_.write_registry({test::make_agent("claude-1", "claude_code_cli", "s-1")});
  for (const std::string alias : {"tessik-mailbox", "tessik_mailbox:default"}) {
    GatewayResponse response =
        post(send_body("first", "m-" + alias, R"(,"metadata":{"targetAgent":")" + alias + "\"}"));
    ASSERT_EQ(response.status, 200) << response.body;
    const json first = json::parse(response.body)["task"];
    EXPECT_EQ(first["metadata"]["tessikTargetProviderSessionId"], "tessik_mailbox:default");
    EXPECT_EQ(first["metadata"]["tessikTargetAgent"], agent_registry_name(mailbox_));

    const std::string id = first["id"];
    response = post(send_body("second", "m2-" + alias, R"(,"taskId":")" + id + "\""));
    ASSERT_EQ(response.status, 200) << alias << ": " << response.body;
    const json task = json::parse(response.body)["task"];
    EXPECT_EQ(task["id"], id);
    EXPECT_EQ(task["history"].size(), 2u);
  }
}

TEST_F(SendIntakeTest, AUserRowNamedMailboxTakesTheSendMeantForIt) {
  AgentRecord user = test::make_agent("user-mailbox", "claude_code_cli", "s-user");
  user.display_name = "mailbox";
  f_.write_registry({user});
  const GatewayResponse response =
      post(send_body("to the user row", "m-u", R"(,"metadata":{"targetAgent":"Mailbox"})"));
  ASSERT_EQ(response.status, 200) << response.body;
  const json task = json::parse(response.body)["task"];
  EXPECT_EQ(task["status"]["state"], "TASK_STATE_WORKING") << response.body;
  EXPECT_EQ(task["metadata"]["tessikTargetProviderSessionId"], "s-user");
}

TEST_F(SendIntakeTest, FollowUpContinuesTheTaskAndATerminalTaskRefuses) {
  const json first = json::parse(post(send_body("first")).body)["task"];
  const std::string id = first["id"];
  GatewayResponse response = post(send_body("second", "m-2", R"(,"taskId":")" + id + "\""));
  ASSERT_EQ(response.status, 200) << response.body;
  json task = json::parse(response.body)["task"];
  EXPECT_EQ(task["id"], id);
  EXPECT_EQ(task["contextId"], first["contextId"]);
  ASSERT_EQ(task["history"].size(), 2u);
  EXPECT_EQ(task["history"][0]["parts"][0]["text"], "first");
  EXPECT_EQ(task["history"][1]["parts"][0]["text"], "second");

  response = post(send_body("done", "tck-complete-task-1", R"(,"taskId":")" + id + "\""));
  task = json::parse(response.body)["task"];
  EXPECT_EQ(task["status"]["state"], "TASK_STATE_COMPLETED");
  ASSERT_EQ(task["artifacts"].size(), 1u);
  EXPECT_EQ(task["artifacts"][0]["parts"][0]["text"], kTckCompletedReply);

  response = post(send_body("again", "m-4", R"(,"taskId":")" + id + "\""));
  EXPECT_EQ(response.status, 400);
  EXPECT_EQ(local_code_of(response), "UnsupportedOperationError");
  EXPECT_EQ(error_of(response)["message"], "Messages cannot be sent to a terminal task.");
  response = post(send_body("lost", "m-5", R"(,"taskId":"never-stored")"));
  EXPECT_EQ(response.status, 404);
}

TEST_F(SendIntakeTest, Version03RendersWireNamesAndKinds) {
  const GatewayResponse response =
      post(send_body("hi"), "/a2a/message:send", {{"A2A-Version", "0.3"}});
  ASSERT_EQ(response.status, 200);
  const json task = json::parse(response.body)["task"];
  EXPECT_EQ(task["kind"], "task");
  EXPECT_EQ(task["status"]["state"], "working");
  EXPECT_EQ(task["history"][0]["role"], "user");
  EXPECT_EQ(task["history"][0]["kind"], "message");
}

// Calls the handler with a chosen principal, past the authentication gate.
GatewayResponse send_as(test::GatewayFixture& f, const Principal& principal,
                        const std::string& body) {
  GatewayRequest request = f.request("POST", "/a2a/message:send", {{"A2A-Version", "1.0"}}, body);
  Registry registry(agents_registry_path());
  EvidenceLog evidence(f.env.events_log());
  GatewayCall call{request, principal, f.context, registry, evidence, {}, "post", {}, {}, {}};
  return handle_send_message(call);
}

TEST_F(SendIntakeTest, AnonymousCallerUnderRequiredAuthGetsARejectedTask) {
  const GatewayResponse response = send_as(f_, Principal{}, send_body("hi"));
  ASSERT_EQ(response.status, 200) << response.body;
  const json task = json::parse(response.body)["task"];
  EXPECT_EQ(task["status"]["state"], "TASK_STATE_REJECTED");
  EXPECT_EQ(task["metadata"]["tessikErrorCode"], "TESSIK_A2A_SENDER_REQUIRED");
  EXPECT_EQ(task["metadata"]["tessikErrorMessage"],
            "A2A gateway requires an authenticated or explicit sender identity.");
}

TEST_F(SendIntakeTest, PushConfigurationNeedsThePushScopeAndAValidUrl) {
  Principal principal;
  principal.authenticated = true;
  principal.sender_agent = "limited";
  principal.scopes = {"agent.send"};
  GatewayResponse response =
      send_as(f_, principal,
              send_body("hi", "m", R"(,"configuration":{"pushNotificationConfig":{"url":"x"}})"));
  EXPECT_EQ(response.status, 403);
  EXPECT_EQ(error_of(response)["message"],
            "A2A token is not allowed to configure task push notifications.");

  // With the scope, an invalid configuration refuses the send before anything is stored.
  principal.scopes.push_back("task.push");
  response = send_as(
      f_, principal,
      send_body("hi", "m",
                R"(,"configuration":{"pushNotificationConfig":{"url":"https://10.0.0.1/cb"}})"));
  EXPECT_EQ(response.status, 400);
  EXPECT_EQ(local_code_of(response), "TESSIK_A2A_PUSH_CONFIG_INVALID");
  EXPECT_EQ(error_of(response)["message"],
            "A2A push notification config url must be https or loopback http.");
  EXPECT_FALSE(std::filesystem::exists(task_log()));
  EXPECT_FALSE(std::filesystem::exists(f_.env.state_dir() / "a2a" / "pushNotificationConfigs.jsonl"));
}

TEST_F(SendIntakeTest, DamagedTaskLogKeepsWorkingAndAnUnwritableOneAnswers500) {
  const json first = json::parse(post(send_body("first")).body)["task"];
  {
    std::ofstream log(task_log(), std::ios::app);
    log << "garbage line\n{\"contextId\":\"no id\"}\n{\"id\":\"cut";
  }
  const std::string id = first["id"];
  GatewayResponse response = post(send_body("second", "m-2", R"(,"taskId":")" + id + "\""));
  ASSERT_EQ(response.status, 200) << response.body;
  EXPECT_EQ(json::parse(response.body)["task"]["history"].size(), 2u);

  const std::uintmax_t size_before = std::filesystem::file_size(task_log());
  f_.context.tasks_path = f_.env.root() / "a-directory";
  std::filesystem::create_directories(f_.context.tasks_path);
  response = post(send_body("third", "m-3"));
  EXPECT_EQ(response.status, 500);
  EXPECT_EQ(local_code_of(response), "TESSIK_A2A_TASK_STORE_FAILED");
  EXPECT_NE(error_of(response)["message"].get<std::string>().find("could not write A2A task log"),
            std::string::npos);
  EXPECT_EQ(std::filesystem::file_size(task_log()), size_before);
  EXPECT_TRUE(find_latest_task_line(task_log(), id));
}

}  // namespace
}  // namespace tessik
