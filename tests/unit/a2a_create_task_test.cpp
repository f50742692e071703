// Create tasks: a message to a provider factory over both bindings — scope and factory
// refusals, validation, the failed task a refused creation leaves, and how each outcome of
// the create workflow becomes the task's state and reply.
#include <gtest/gtest.h>

#include "a2a/cards/cards.h"
#include "a2a/intake/create_task.h"
#include "a2a/tasks/task_json.h"
#include "a2a/tasks/task_log.h"
#include "registry/normalization.h"
#include "state/state_dir.h"
#include "support/gateway_fixture.h"
#include "support/jsonl_reader.h"

namespace tessik {
namespace {

using nlohmann::json;
using test::local_code_of;
using test::rpc_body;

constexpr char kClaudeScope[] = "/a2a/providers/tessik.provider.claude_code_cli";

std::string create_params(const std::string& metadata = "") {
  return R"({"message":{"messageId":"msg-1","role":"ROLE_USER","parts":[{"text":"Hello"}]})" +
         (metadata.empty() ? std::string() : R"(,"metadata":)" + metadata) + "}";
}

class CreateTaskTest : public ::testing::Test {
 protected:
  GatewayResponse post_http(const std::string& body) {
    return f_.call(f_.authorized("POST", std::string(kClaudeScope) + "/message:send",
                                 {{"Content-Type", "application/json"}, {"A2A-Version", "1.0"}},
                                 body));
  }
  json post_rpc(const std::string& body, const std::string& version = "1.0",
                const std::string& scope = kClaudeScope) {
    const GatewayResponse response =
        f_.call(f_.authorized("POST", scope + "/a2a", {{"A2A-Version", version}}, body));
    EXPECT_EQ(response.status, 200) << response.body;
    return json::parse(response.body);
  }
  ProviderFactory claude_factory() {
    return *find_provider_factory(list_provider_factories({}), "tessik.provider.claude_code_cli");
  }
  // Runs a create task directly with `runner` standing in for the create workflow.
  CreateTaskResult run_with(const CreateRunner& runner, const std::string& params) {
    const GatewayRequest request = f_.authorized("POST", "/a2a/message:send", {}, params);
    Registry registry(agents_registry_path());
    const EvidenceLog evidence(events_log_path());
    const GatewayCall call{request,  principal_, f_.context,   registry, evidence,
                           {},       "post",     EffectivePath{}, std::nullopt, claude_factory()};
    return run_create_task(call, params, claude_factory(), "TESSIK_A2A_SEND_INVALID", runner);
  }
  std::filesystem::path tasks_log() const { return f_.env.state_dir() / "a2a" / "tasks.jsonl"; }

  test::GatewayFixture f_;
  Principal principal_ = [] {
    Principal p;
    p.authenticated = true;
    p.client_id = "client-1";
    p.sender_agent = "unregistered-client";
    p.scopes = {"agent.create"};
    return p;
  }();
};

TEST_F(CreateTaskTest, ScopeWithoutAgentCreateIsRefusedOnBothBindings) {
  f_.context.trust_broker_principal = true;
  f_.context.principal.authenticated = true;
  f_.context.principal.client_id = "sender-only";
  f_.context.principal.scopes = {"agent.send", "agent.read"};
  GatewayResponse response = f_.call(f_.request(
      "POST", std::string(kClaudeScope) + "/message:send", {}, create_params()));
  EXPECT_EQ(response.status, 403);
  const json http = json::parse(response.body);
  EXPECT_EQ(local_code_of(http["error"]), "TESSIK_A2A_SCOPE_DENIED");
  EXPECT_EQ(http["error"]["message"], "A2A token is not allowed to create agents.");

  response =
      f_.call(f_.request("POST", std::string(kClaudeScope) + "/rpc", {{"A2A-Version", "1.0"}},
                         rpc_body("SendMessage", create_params())));
  const json body = json::parse(response.body);
  EXPECT_EQ(body["error"]["code"], -32099);
  EXPECT_EQ(body["error"]["message"], "A2A token is not allowed to create agents.");
  EXPECT_FALSE(std::filesystem::exists(tasks_log()));
  EXPECT_FALSE(std::filesystem::exists(create_lifecycle_log_path()));
}

TEST_F(CreateTaskTest, UnknownFactoryIs404OnBothBindings) {
  for (const char* path : {"/a2a/providers/tessik.provider.nope/message:send",
                           "/a2a/providers/tessik.provider.tessik_mailbox/a2a"}) {
    const GatewayResponse response = f_.call(f_.authorized(
        "POST", path, {{"A2A-Version", "1.0"}}, rpc_body("SendMessage", create_params())));
    EXPECT_EQ(response.status, 404) << path;
    EXPECT_EQ(local_code_of(json::parse(response.body)["error"]), "TESSIK_A2A_PROVIDER_NOT_FOUND");
  }
}

TEST_F(CreateTaskTest, InvalidRequestsAreErrorsWithoutATask) {
  json body = post_rpc(R"({"jsonrpc":"2.0","id":5,"method":"SendMessage"})");
  EXPECT_EQ(body["error"]["code"], -32602);
  EXPECT_EQ(body["error"]["message"], "Invalid params");
  EXPECT_EQ(local_code_of(body["error"]), "TESSIK_A2A_PARAMS_INVALID");
  body = post_rpc(rpc_body("SendMessage", "[1]"));
  EXPECT_EQ(local_code_of(body["error"]), "TESSIK_A2A_PARAMS_INVALID");

  const std::string no_id = R"({"message":{"role":"ROLE_USER","parts":[{"text":"x"}]}})";
  body = post_rpc(rpc_body("SendMessage", no_id));
  EXPECT_EQ(body["error"]["code"], -32602);
  EXPECT_EQ(local_code_of(body["error"]), "TESSIK_A2A_CREATE_INVALID");
  EXPECT_EQ(body["error"]["message"], "A2A send message requires messageId.");

  const GatewayResponse http = post_http(no_id);
  EXPECT_EQ(http.status, 400);
  EXPECT_EQ(local_code_of(json::parse(http.body)["error"]), "TESSIK_A2A_SEND_INVALID");
  EXPECT_FALSE(std::filesystem::exists(tasks_log()));
}

TEST_F(CreateTaskTest, RefusedCreationIsAFailedTaskOnBothBindings) {
  // No Claude Code CLI on this machine: the creation fails, the request does not.
  const GatewayResponse http = post_http(create_params());
  ASSERT_EQ(http.status, 200) << http.body;
  const json task = json::parse(http.body)["task"];
  EXPECT_EQ(task["status"]["state"], "TASK_STATE_FAILED");
  EXPECT_EQ(task["metadata"]["tessikErrorCode"], "TESSIK_PROVIDER_CREATE_FAILED");
  EXPECT_EQ(task["metadata"]["tessikOperation"], "create-agent");
  EXPECT_EQ(task["metadata"]["tessikTargetProvider"], "claude_code_cli");
  std::vector<std::string> codes;
  for (const json& event : task["metadata"]["tessikEvents"]) codes.push_back(event["code"]);
  EXPECT_EQ(codes, (std::vector<std::string>{"create_submitted", "provider_create_started",
                                             "provider_create_failed"}));
  // The task's error is the provider's own refusal, as the creation log recorded it.
  const auto failed = test::read_events(create_lifecycle_log_path(), "create_failed");
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(task["metadata"]["tessikErrorMessage"], failed[0]["error"]);
  EXPECT_FALSE(failed[0]["error"].get<std::string>().empty());
  // Without a name the workflow is asked for "A2A " + the factory's name.
  EXPECT_EQ(failed[0]["requested_name"], "A2A Claude Code CLI");
  ASSERT_TRUE(find_latest_task_line(tasks_log(), task["id"].get<std::string>()));

  // JSON-RPC: {"task": ...} for SendMessage, the task itself for the 0.3 name.
  json body = post_rpc(rpc_body("SendMessage", create_params(R"({"tessikCreateName":"Named"})")));
  EXPECT_EQ(body["result"]["task"]["status"]["state"], "TASK_STATE_FAILED");
  body = post_rpc(rpc_body("message/send", create_params()), "0.3");
  EXPECT_EQ(body["result"]["kind"], "task");
  EXPECT_EQ(body["result"]["status"]["state"], "failed");
  const auto requested = test::read_events(create_lifecycle_log_path(), "create_failed");
  ASSERT_EQ(requested.size(), 3u);
  EXPECT_EQ(requested[1]["requested_name"], "Named");
}

TEST(CreateRequestExtraction, MetadataNamesModelAndCwd) {
  ProviderFactory factory;
  factory.provider = "cursor";
  factory.name = "Cursor Agents";
  CreateTaskIntake intake = extract_create_request(
      R"({"taskId":" t-9 ","metadata":{"displayName":"Second","tessikCreateName":" First ",)"
      R"("model":"m-1","cwd":"  "},"message":{"messageId":"id-1","role":"user",)"
      R"("parts":[{"text":"Go"}],"metadata":{"tessikCwd":"/work","tessikModel":"m-2"}}})",
      factory);
  EXPECT_EQ(intake.task_id, "t-9");
  EXPECT_EQ(intake.request.request_id, "t-9");
  EXPECT_EQ(intake.request.provider, "cursor");
  EXPECT_EQ(intake.request.requested_name, "First");
  EXPECT_EQ(intake.request.model, "m-1");     // params metadata comes first
  EXPECT_EQ(intake.request.cwd, "/work");     // a blank value does not count
  EXPECT_EQ(intake.request.initial_message, "Go");
  EXPECT_EQ(intake.message_id, "id-1");

  intake = extract_create_request(
      R"({"message":{"messageId":"id-2","role":"user","parts":[{"text":"Go"}]}})", factory);
  EXPECT_EQ(intake.request.requested_name, "A2A Cursor Agents");
  EXPECT_EQ(intake.task_id.size(), 32u);
  EXPECT_EQ(intake.request.request_id, intake.task_id);
}

TEST_F(CreateTaskTest, EnrolledAgentCompletesTheTaskWithItsCard) {
  AgentRecord agent = test::make_agent("new", "claude_code_cli", "claude_code_cli:session:n1");
  agent.display_name = "Reviewer";
  CreateRequest seen;
  const CreateTaskResult result = run_with(
      [&](const CreateRequest& request) {
        seen = request;
        CreateWorkflowResult outcome;
        outcome.enrolled = agent;
        return outcome;
      },
      create_params());
  ASSERT_TRUE(result.ok());
  const TaskRecord& task = *result.task;
  EXPECT_EQ(task.state, kTaskStateCompleted);
  const std::string card = agent_card_url(f_.context.endpoint_url, agent.public_agent_id);
  EXPECT_EQ(task.created_agent_id, agent.public_agent_id);
  EXPECT_EQ(task.created_agent_card_url, card);
  EXPECT_EQ(task.created_agent_endpoint_url,
            agent_endpoint_url(f_.context.endpoint_url, agent.public_agent_id));
  EXPECT_EQ(json::parse(task.reply_body),
            json({{"agentId", agent.public_agent_id},
                  {"name", "Reviewer"},
                  {"provider", "claude_code_cli"},
                  {"agentCardUrl", card},
                  {"endpointUrl", task.created_agent_endpoint_url}}));
  EXPECT_EQ(task.reply_body.find(' '), std::string::npos);  // compact
  EXPECT_EQ(task.events.back().code, "provider_create_completed");
  const json view = json::parse(result.task_view);
  EXPECT_EQ(view["metadata"]["tessikCreatedAgentCardUrl"], card);

  // The requester is no registered agent, so the new session answers the mailbox.
  EXPECT_EQ(seen.from, kMailboxAgentId);
  EXPECT_EQ(seen.initial_message, "Hello");
  EXPECT_EQ(seen.provider, "claude_code_cli");
}

TEST_F(CreateTaskTest, PendingAndStoppedOutcomes) {
  f_.write_registry({test::make_agent("me", "codex", "codex:session:me")});
  principal_.sender_agent = "Agent me";
  CreateRequest seen;
  CreateTaskResult result = run_with(
      [&](const CreateRequest& request) {
        seen = request;
        CreateWorkflowResult outcome;
        outcome.stage = create_stage::kPendingOperation;
        outcome.result.operation_id = "op-7";
        outcome.result.provider = "antigravity_cli";
        outcome.result.state = "accepted";
        outcome.result.correlation_state = "event_pending";
        return outcome;
      },
      create_params());
  EXPECT_EQ(seen.from, "Agent me");  // a registered requester gets the answer itself
  EXPECT_EQ(result.task->state, kTaskStateWorking);
  EXPECT_EQ(json::parse(result.task->reply_body),
            json({{"operationId", "op-7"},
                  {"provider", "antigravity_cli"},
                  {"state", "accepted"},
                  {"correlation", "event_pending"}}));
  EXPECT_EQ(result.task->events.back().code, "provider_create_accepted_pending");

  // Enrolled but stopped (the name could not be verified): failed, with the stop's message.
  result = run_with(
      [&](const CreateRequest&) {
        CreateWorkflowResult outcome;
        outcome.enrolled = test::make_agent("x", "claude_code_cli", "claude_code_cli:session:x");
        outcome.stage = create_stage::kRenameNotVerified;
        outcome.message = "rename not proven";
        return outcome;
      },
      create_params());
  EXPECT_EQ(result.task->state, kTaskStateFailed);
  EXPECT_EQ(result.task->error_message, "rename not proven");
  EXPECT_TRUE(result.task->created_agent_id.empty());

  result = run_with([](const CreateRequest&) { return CreateWorkflowResult{}; }, create_params());
  EXPECT_EQ(result.task->error_message,
            "Provider creation did not return an enrolled stable session.");
  result = run_with([](const CreateRequest&) -> CreateWorkflowResult {
    throw std::runtime_error("registry broke");
  }, create_params());
  EXPECT_EQ(result.task->state, kTaskStateFailed);
  EXPECT_EQ(result.task->error_message, "A2A create failed: registry broke");
}

}  // namespace
}  // namespace tessik
