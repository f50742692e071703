// The JSON-RPC binding and the HTTP+JSON task routes at the handler level: envelopes, batches,
// version availability, scopes, and the task queries as each binding answers them.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "a2a/gateway/route_handlers.h"
#include "a2a/jsonrpc/json_rpc.h"
#include "a2a/tasks/task_log.h"
#include "base/text.h"
#include "registry/registry.h"
#include "state/evidence_log.h"
#include "state/state_dir.h"
#include "support/gateway_fixture.h"
#include "support/task_fixtures.h"

namespace tessik {
namespace {

using nlohmann::json;
using test::client_principal;
using test::local_code_of;
using test::rpc_body;
using test::stamp;
using test::stored_task;

class JsonRpcTest : public ::testing::Test {
 protected:
  JsonRpcTest() { gateway_.context.tasks_path = gateway_.env.state_dir() / "a2a" / "tasks.jsonl"; }

  void store(const TaskRecord& task) { append_task_record(gateway_.context.tasks_path, task); }

  // Runs `handler` as routing would after its gates, for `principal`.
  GatewayResponse run(GatewayResponse (*handler)(const GatewayCall&), const Principal& principal,
                      const std::string& method, const std::string& target,
                      const std::string& body = "", const std::string& version = "1.0") {
    std::map<std::string, std::string> headers;
    if (!version.empty()) headers["A2A-Version"] = version;
    const GatewayRequest request = gateway_.request(method, target, headers, body);
    Registry registry(agents_registry_path());
    const EvidenceLog evidence(events_log_path());
    const GatewayCall call{
        request,      principal,   gateway_.context, registry,
        evidence,     {},          method,           compute_effective_path(target),
        std::nullopt, std::nullopt};
    return handler(call);
  }

  GatewayResponse rpc(const std::string& body, const Principal& principal,
                      const std::string& version = "1.0") {
    return run(handle_json_rpc, principal, "post", "/rpc", body, version);
  }
  json rpc_json(const std::string& body, const Principal& principal,
                const std::string& version = "1.0") {
    const GatewayResponse response = rpc(body, principal, version);
    EXPECT_EQ(response.status, 200);
    return json::parse(response.body);
  }
  json rpc_result(const std::string& body, const Principal& principal,
                  const std::string& version = "1.0") {
    const json answer = rpc_json(body, principal, version);
    EXPECT_TRUE(answer.contains("result")) << answer.dump();
    return answer.value("result", json::object());
  }

  test::GatewayFixture gateway_;
  Principal reader_a_ = client_principal("client-a", {"task.read", "task.cancel"});
  Principal reader_b_ = client_principal("client-b", {"task.read", "task.cancel"});
  Principal admin_ = client_principal("client-z", {"task.read", "task.admin"});
  Principal no_scopes_ = client_principal("client-a", {"agent.read"});
};

TEST_F(JsonRpcTest, IdsAreEchoedByteForByteAndInvalidIdsAnswerNull) {
  store(stored_task("t1", "client-a", stamp(1)));
  const std::string get = rpc_body("GetTask", R"({"id":"t1"})", "7");
  EXPECT_NE(rpc(get, reader_a_).body.find(R"("id":7,)"), std::string::npos);
  const GatewayResponse quoted = rpc(rpc_body("GetTask", R"({"id":"t1"})", R"("7")"), reader_a_);
  EXPECT_NE(quoted.body.find(R"("id":"7",)"), std::string::npos);
  const GatewayResponse escaped =
      rpc(rpc_body("GetTask", R"({"id":"t1"})", R"( "\u0041b" )"), reader_a_);
  EXPECT_NE(escaped.body.find(R"("id":"\u0041b",)"), std::string::npos) << escaped.body;

  for (const char* bad : {"1.5", "true", "{}", "[1]", "-", "1e3"}) {
    const json answer = rpc_json(rpc_body("GetTask", R"({"id":"t1"})", bad), reader_a_);
    EXPECT_TRUE(answer["id"].is_null()) << bad;
    EXPECT_EQ(answer["error"]["code"], -32600) << bad;
    EXPECT_EQ(answer["error"]["message"], "Request payload validation error");
  }
}

TEST_F(JsonRpcTest, MalformedEnvelopesAreRefusedWithTheirId) {
  for (const char* body :
       {R"({"jsonrpc":"1.0","id":3,"method":"ListTasks"})", R"({"id":3,"method":"ListTasks"})",
        R"({"jsonrpc":2.0,"id":3})", R"({"jsonrpc":"2.0","id":3,"method":5})"}) {
    const json answer = rpc_json(body, reader_a_);
    EXPECT_EQ(answer["id"], 3) << body;
    EXPECT_EQ(answer["error"]["code"], -32600) << body;
    EXPECT_EQ(local_code_of(answer["error"]), "TESSIK_A2A_JSONRPC_INVALID_REQUEST");
  }
  for (const char* body : {R"("just text")", "42", "null"}) {
    const json answer = rpc_json(body, reader_a_);
    EXPECT_TRUE(answer["id"].is_null()) << body;
    EXPECT_EQ(answer["error"]["code"], -32600) << body;
  }
}

TEST_F(JsonRpcTest, NotificationsAnswer204EvenForUnknownMethods) {
  store(stored_task("t1", "client-a", stamp(1)));
  for (const char* body : {R"({"jsonrpc":"2.0","method":"NoSuchMethod"})",
                           R"({"jsonrpc":"2.0","method":"CancelTask","params":{"id":"t1"}})"}) {
    const GatewayResponse response = rpc(body, reader_a_);
    EXPECT_EQ(response.status, 204) << body;
    EXPECT_EQ(response.body, "");
    EXPECT_EQ(response.content_type, "application/json");
  }
  // A notification still runs: the cancel above took effect.
  const json task = rpc_result(rpc_body("GetTask", R"({"id":"t1"})"), reader_a_);
  EXPECT_EQ(task["status"]["state"], "TASK_STATE_CANCELED");
  // Without "jsonrpc":"2.0" it is no notification and gets its refusal.
  EXPECT_EQ(rpc(R"({"method":"ListTasks"})", reader_a_).status, 200);
}

TEST_F(JsonRpcTest, BatchEdgeCases) {
  const json empty = rpc_json("  [ ] ", reader_a_);
  ASSERT_TRUE(empty.is_object());
  EXPECT_TRUE(empty["id"].is_null());
  EXPECT_EQ(empty["error"]["code"], -32600);
  EXPECT_EQ(local_code_of(empty["error"]), "TESSIK_A2A_JSONRPC_INVALID_BATCH");

  const json streaming =
      rpc_json(R"([{"jsonrpc":"2.0","id":"s","method":"SendStreamingMessage"}])", reader_a_);
  ASSERT_EQ(streaming.size(), 1u);
  EXPECT_EQ(streaming[0]["id"], "s");
  EXPECT_EQ(streaming[0]["error"]["code"], -32004);
  EXPECT_EQ(streaming[0]["error"]["message"],
            "Streaming methods are not allowed in a JSON-RPC batch.");

  const json mixed = rpc_json(
      R"([{"jsonrpc":"2.0","method":"ListTasks"},{"jsonrpc":"2.0","id":9,"method":"ListTasks"}])",
      reader_a_);
  ASSERT_EQ(mixed.size(), 1u);
  EXPECT_EQ(mixed[0]["id"], 9);
  EXPECT_EQ(mixed[0]["result"]["totalSize"], 0);

  const json odd =
      rpc_json(R"([1,"x",null,[],{"jsonrpc":"2.0","id":2,"method":"Nope"}])", reader_a_);
  ASSERT_EQ(odd.size(), 5u);
  for (int i = 0; i < 4; ++i) {
    EXPECT_TRUE(odd[i]["id"].is_null());
    EXPECT_EQ(local_code_of(odd[i]["error"]), "TESSIK_A2A_JSONRPC_INVALID_REQUEST");
  }
  EXPECT_EQ(odd[4]["error"]["message"], "Method not found");

  const GatewayResponse silent =
      rpc(R"([{"jsonrpc":"2.0","method":"ListTasks"},{"jsonrpc":"2.0","method":"X"}])", reader_a_);
  EXPECT_EQ(silent.status, 204);
  EXPECT_EQ(silent.body, "");
}

// Whatever the elements are, a batch answers exactly one element per element that is not a
// notification (a streaming notification and a non-object still answer).
TEST_F(JsonRpcTest, BatchAnswersOneElementPerNonNotification) {
  const std::vector<std::pair<std::string, bool>> kinds = {
      {R"({"jsonrpc":"2.0","method":"ListTasks"})", false},
      {R"({"jsonrpc":"2.0","id":1,"method":"ListTasks"})", true},
      {R"({"jsonrpc":"2.0","id":1.5,"method":"ListTasks"})", true},
      {R"({"jsonrpc":"2.0","method":"message/stream"})", true},
      {R"({"jsonrpc":"1.0","method":"ListTasks"})", true},
      {R"({"id":"x"})", true},
      {"17", true},
      {R"({"jsonrpc":"2.0","id":4,"method":"GetTask","params":[]})", true},
      {R"([{"jsonrpc":"2.0","id":1,"method":"ListTasks"}])", true},
  };
  for (std::size_t a = 0; a < kinds.size(); ++a) {
    for (std::size_t b = 0; b < kinds.size(); ++b) {
      const std::string body =
          "[" + kinds[a].first + "," + kinds[b].first + "," + kinds[a].first + "]";
      const int expected = 2 * kinds[a].second + kinds[b].second;
      const GatewayResponse response = rpc(body, reader_a_);
      if (expected == 0) {
        EXPECT_EQ(response.status, 204) << body;
        continue;
      }
      const json answer = json::parse(response.body);
      ASSERT_TRUE(answer.is_array()) << body;
      EXPECT_EQ(answer.size(), static_cast<std::size_t>(expected)) << body;
      for (const json& element : answer) {
        EXPECT_EQ(element["jsonrpc"], "2.0");
        EXPECT_TRUE(element.contains("result") != element.contains("error")) << body;
      }
    }
  }
}

TEST_F(JsonRpcTest, MethodsAreAvailableOnlyUnderTheirVersion) {
  store(stored_task("t1", "client-a", stamp(1)));
  for (const std::string version : {"0.3", ""}) {
    const json refused = rpc_json(rpc_body("GetTask", R"({"id":"t1"})"), reader_a_, version);
    EXPECT_EQ(refused["error"]["code"], -32601);
    EXPECT_EQ(refused["error"]["message"], "Method is not available for A2A protocol version 0.3");
    const json task = rpc_result(rpc_body("tasks/get", R"({"id":"t1"})"), reader_a_, version);
    EXPECT_EQ(task["kind"], "task");
    EXPECT_EQ(task["status"]["state"], "working");
  }
  const json old_name = rpc_json(rpc_body("tasks/get", R"({"id":"t1"})"), reader_a_, "1.0");
  EXPECT_EQ(old_name["error"]["message"], "Method is not available for A2A protocol version 1.0");
  const json task = rpc_result(rpc_body("GetTask", R"({"id":"t1"})"), reader_a_, "1.0");
  EXPECT_FALSE(task.contains("kind"));
  EXPECT_EQ(task["status"]["state"], "TASK_STATE_WORKING");

  const Principal pusher = client_principal("client-a", {"task.push"});
  const json plural_new =
      rpc_result(rpc_body("tasks/pushNotificationConfigs/list", R"({"taskId":"t1"})"), pusher);
  EXPECT_EQ(plural_new, json::parse(R"({"configs":[],"nextPageToken":""})"));
  EXPECT_EQ(rpc_json(rpc_body("tasks/pushNotificationConfigs/list", R"({"id":"t1"})"), pusher,
                     "0.3")["error"]["code"],
            -32601);
  EXPECT_EQ(rpc_result(rpc_body("tasks/pushNotificationConfig/list", R"({"id":"t1"})"), pusher,
                       "0.3"),
            json::array());
  EXPECT_EQ(rpc_json(rpc_body("tasks/pushNotificationConfig/set"), pusher, "1.0")["error"]["code"],
            -32601);

  const json stream = rpc_json(rpc_body("message/stream"), reader_a_, "0.3");
  EXPECT_EQ(stream["error"]["code"], -32004);
  EXPECT_EQ(stream["error"]["message"], "Streaming is not implemented by this A2A interface.");
  // Names are compared exactly, and an endpoint row's HTTP method names no JSON-RPC method.
  for (const char* unknown : {"getTask", "POST"})
    EXPECT_EQ(rpc_json(rpc_body(unknown), reader_a_)["error"]["message"], "Method not found");
}

TEST_F(JsonRpcTest, EachMethodChecksItsScope) {
  store(stored_task("t1", "client-a", stamp(1)));
  gateway_.context.require_auth = true;
  const struct {
    const char* method;
    const char* message;
  } cases[] = {
      {"GetTask", "A2A token is not allowed to read tasks."},
      {"ListTasks", "A2A token is not allowed to read tasks."},
      {"CancelTask", "A2A token is not allowed to cancel tasks."},
      {"CreateTaskPushNotificationConfig",
       "A2A token is not allowed to manage task push notification configs."},
  };
  for (const auto& c : cases) {
    const json answer = rpc_json(rpc_body(c.method, R"({"id":"t1"})"), no_scopes_);
    EXPECT_EQ(answer["error"]["code"], -32099) << c.method;
    EXPECT_EQ(answer["error"]["message"], c.message);
    EXPECT_EQ(local_code_of(answer["error"]), "TESSIK_A2A_SCOPE_DENIED");
  }
  const Principal reader_only = client_principal("client-a", {"task.read"});
  EXPECT_EQ(rpc_json(rpc_body("GetExtendedAgentCard"), reader_only)["error"]["code"], -32099);
  // The refused cancel changed nothing.
  EXPECT_EQ(rpc_result(rpc_body("GetTask", R"({"id":"t1"})"), reader_a_)["status"]["state"],
            "TASK_STATE_WORKING");
}

TEST_F(JsonRpcTest, ListPagesAgreeOnBothBindings) {
  for (int i = 1; i <= 120; ++i)
    store(stored_task("t" + std::to_string(i), "client-a", stamp(i)));
  store(stored_task("other", "client-b", stamp(999)));

  std::vector<std::string> rpc_ids;
  std::vector<std::string> http_ids;
  std::vector<std::size_t> page_sizes;
  std::string rpc_token;
  std::string http_token;
  for (int page = 0; page < 3; ++page) {
    const std::string params =
        rpc_token.empty() ? "{}" : R"({"page_token":")" + rpc_token + R"("})";
    const json rpc_page = rpc_result(rpc_body("ListTasks", params), reader_a_);
    const GatewayResponse http =
        run(handle_list_tasks, reader_a_, "get",
            "/tasks" + (http_token.empty() ? "" : "?pageToken=" + http_token));
    ASSERT_EQ(http.status, 200) << http.body;
    const json http_page = json::parse(http.body);
    EXPECT_EQ(rpc_page, http_page);
    EXPECT_EQ(rpc_page["totalSize"], 120);
    EXPECT_EQ(rpc_page["pageSize"], 50);
    page_sizes.push_back(rpc_page["tasks"].size());
    for (const json& task : rpc_page["tasks"])
      rpc_ids.push_back(task["id"]);
    for (const json& task : http_page["tasks"])
      http_ids.push_back(task["id"]);
    rpc_token = rpc_page["nextPageToken"];
    http_token = http_page["nextPageToken"];
    if (page < 2) {
      EXPECT_EQ(rpc_token, rpc_ids.back());
    }
  }
  EXPECT_EQ(page_sizes, (std::vector<std::size_t>{50, 50, 20}));
  EXPECT_EQ(rpc_token, "");
  ASSERT_EQ(rpc_ids.size(), 120u);
  EXPECT_EQ(rpc_ids.front(), "t120");
  EXPECT_EQ(rpc_ids.back(), "t1");
  EXPECT_EQ(rpc_ids, http_ids);

  // The camel-case spelling and a numeric page size read the same.
  const json camel =
      rpc_result(rpc_body("ListTasks", R"({"pageSize":3,"pageToken":"t118"})"), reader_a_);
  EXPECT_EQ(camel["tasks"][0]["id"], "t117");
  EXPECT_EQ(camel["pageSize"], 3);
}

TEST_F(JsonRpcTest, FilteredOutTokensRefuseAndStatusSpellingsAgree) {
  for (int i = 1; i <= 6; ++i) {
    store(stored_task("t" + std::to_string(i), "client-a", stamp(i),
                      i % 2 ? kTaskStateCompleted : kTaskStateWorking));
  }
  const json refused =
      rpc_json(rpc_body("ListTasks", R"({"status":"completed","pageToken":"t2"})"), reader_a_);
  EXPECT_EQ(refused["error"]["code"], -32602);
  EXPECT_EQ(refused["error"]["message"],
            "Invalid parameters: pageToken is invalid or no longer visible.");
  EXPECT_EQ(local_code_of(refused["error"]), "TESSIK_A2A_PAGE_TOKEN_INVALID");
  const GatewayResponse http_refused =
      run(handle_list_tasks, reader_a_, "get", "/tasks?status=completed&pageToken=t2");
  EXPECT_EQ(http_refused.status, 400);
  EXPECT_NE(http_refused.body.find("TESSIK_A2A_PAGE_TOKEN_INVALID"), std::string::npos);

  std::vector<json> answers;
  for (const char* status : {"completed", "COMPLETED", "TASK_STATE_COMPLETED"}) {
    answers.push_back(rpc_result(
        rpc_body("ListTasks", R"({"status":")" + std::string(status) + R"("})"), reader_a_));
    answers.push_back(json::parse(
        run(handle_list_tasks, reader_a_, "get", "/tasks?status=" + std::string(status)).body));
  }
  ASSERT_EQ(answers[0]["totalSize"], 3);
  for (const json& answer : answers)
    EXPECT_EQ(answer, answers[0]);
  EXPECT_EQ(answers[0]["tasks"][0]["id"], "t5");
}

TEST_F(JsonRpcTest, ClientsSeeOnlyTheirOwnTasksUnlessAdmin) {
  store(stored_task("mine", "client-a", stamp(1)));
  const json hidden = rpc_json(rpc_body("GetTask", R"({"id":"mine"})"), reader_b_);
  EXPECT_EQ(hidden["error"]["code"], -32001);
  EXPECT_EQ(local_code_of(hidden["error"]), "TASK_NOT_FOUND");
  EXPECT_EQ(run(handle_get_task, reader_b_, "get", "/tasks/mine").status, 404);
  EXPECT_EQ(run(handle_cancel_task, reader_b_, "post", "/tasks/mine:cancel").status, 404);
  EXPECT_EQ(rpc_result(rpc_body("ListTasks"), reader_b_)["totalSize"], 0);

  EXPECT_EQ(rpc_result(rpc_body("GetTask", R"({"id":"mine"})"), admin_)["id"], "mine");
  EXPECT_EQ(run(handle_get_task, admin_, "get", "/tasks/mine").status, 200);
  EXPECT_EQ(rpc_result(rpc_body("ListTasks"), admin_)["totalSize"], 1);
  EXPECT_EQ(json::parse(run(handle_get_task, reader_a_, "get", "/tasks/mine").body)["id"], "mine");
}

TEST_F(JsonRpcTest, CancelOnBothBindings) {
  store(stored_task("a", "client-a", stamp(1)));
  store(stored_task("b", "client-a", stamp(2)));
  store(stored_task("done", "client-a", stamp(3), kTaskStateCompleted));

  const json cancelled = rpc_result(
      rpc_body("CancelTask", R"({"id":"a","metadata":{"reason":"no longer needed"}})"), reader_a_);
  EXPECT_EQ(cancelled["status"]["state"], "TASK_STATE_CANCELED");
  EXPECT_NE(cancelled.dump().find("no longer needed"), std::string::npos);

  const json old_client = rpc_result(rpc_body("tasks/cancel", R"({"id":"b"})"), reader_a_, "0.3");
  EXPECT_EQ(old_client["status"]["state"], "canceled");
  EXPECT_EQ(old_client["kind"], "task");

  const GatewayResponse http = run(handle_cancel_task, reader_a_, "post", "/tasks/done:cancel");
  EXPECT_EQ(http.status, 409);
  const json not_cancelable = rpc_json(rpc_body("CancelTask", R"({"id":"done"})"), reader_a_);
  EXPECT_EQ(not_cancelable["error"]["code"], -32002);

  EXPECT_EQ(rpc_json(rpc_body("CancelTask", "{}"), reader_a_)["error"]["code"], -32602);
  EXPECT_EQ(rpc_json(rpc_body("GetTask", R"("a")"), reader_a_)["error"]["code"], -32602);
  EXPECT_EQ(rpc_json(rpc_body("ListTasks", "[]"), reader_a_)["error"]["code"], -32602);
}

TEST_F(JsonRpcTest, HttpGetHonoursHistoryLengthAndPushRoutesNeedTheirTask) {
  store(stored_task("t1", "client-a", stamp(1)));
  const GatewayResponse bad = run(handle_get_task, reader_a_, "get", "/tasks/t1?historyLength=x");
  EXPECT_EQ(bad.status, 400);
  EXPECT_NE(bad.body.find("TESSIK_A2A_HISTORY_LENGTH_INVALID"), std::string::npos);
  const json view =
      json::parse(run(handle_get_task, reader_a_, "get", "/tasks/t1?historyLength=0").body);
  EXPECT_FALSE(view.contains("history"));
  EXPECT_TRUE(
      json::parse(run(handle_get_task, reader_a_, "get", "/tasks/t1").body).contains("history"));

  // The push routes answer for their task: one that does not exist is not found.
  for (auto handler : {handle_create_push_config, handle_list_push_configs, handle_get_push_config,
                       handle_delete_push_config}) {
    const GatewayResponse response =
        run(handler, admin_, "post", "/tasks/missing/pushNotificationConfigs/c1",
            R"({"url":"https://example.com/cb"})");
    EXPECT_EQ(response.status, 404);
    EXPECT_NE(response.body.find("TASK_NOT_FOUND"), std::string::npos);
  }
}

// Through the whole front: the extended card is served on the gateway's and on an agent's
// JSON-RPC endpoint, and matches the HTTP+JSON card of the same scope.
TEST_F(JsonRpcTest, ExtendedCardOnEveryJsonRpcEndpoint) {
  const AgentRecord agent = test::make_agent("worker", "claude", "s-1");
  gateway_.write_registry({agent});
  const std::map<std::string, std::string> v1 = {{"A2A-Version", "1.0"},
                                                 {"Content-Type", "application/json"}};
  for (const std::string& scope : {std::string(), "/agents/" + agent.public_agent_id}) {
    const GatewayResponse card =
        gateway_.call(gateway_.authorized("GET", scope + "/extendedAgentCard", v1));
    ASSERT_EQ(card.status, 200) << card.body;
    for (const char* endpoint : {"/", "/rpc", "/jsonrpc"}) {
      const std::string target = scope.empty() ? endpoint : scope + endpoint;
      const GatewayResponse answer = gateway_.call(
          gateway_.authorized("POST", target, v1, rpc_body("GetExtendedAgentCard", "{}", "5")));
      ASSERT_EQ(answer.status, 200) << target;
      const json parsed = json::parse(answer.body);
      ASSERT_TRUE(parsed.contains("result")) << target << answer.body;
      EXPECT_EQ(parsed["result"], json::parse(card.body)) << target;
    }
  }
}

// A send answers in the shape of the method name: the 0.3 name gets the bare task with its
// kind and lower-case states, the 1.0 name an object holding the task.
TEST_F(JsonRpcTest, SendAnswersInTheShapeOfItsMethodName) {
  gateway_.write_registry({});
  const Principal sender = client_principal("client-a", {"agent.send", "task.read"});
  for (const std::string version : {"0.3", ""}) {
    const json task =
        rpc_result(rpc_body("message/send",
                            R"({"message":{"messageId":"m-)" + version +
                                R"(","role":"user","parts":[{"kind":"text","text":"hello"}]}})"),
                   sender, version);
    EXPECT_EQ(task["kind"], "task") << task.dump();
    EXPECT_FALSE(task.contains("task"));
    const std::string state = task["status"]["state"];
    EXPECT_EQ(state, ascii_lower(state));
    EXPECT_EQ(state.find("task_state"), std::string::npos);
    const json read = rpc_result(
        rpc_body("tasks/get", R"({"id":")" + std::string(task["id"]) + R"("})"), sender, version);
    EXPECT_EQ(read["id"], task["id"]);
  }
  const json wrapped = rpc_result(
      rpc_body(
          "SendMessage",
          R"({"message":{"messageId":"m-1.0","role":"ROLE_USER","parts":[{"text":"hello"}]}})"),
      sender, "1.0");
  ASSERT_TRUE(wrapped.contains("task")) << wrapped.dump();
  EXPECT_FALSE(wrapped["task"].contains("kind"));
  EXPECT_EQ(std::string(wrapped["task"]["status"]["state"]).rfind("TASK_STATE_", 0), 0u);
  EXPECT_EQ(rpc_result(rpc_body("ListTasks"), sender)["totalSize"], 3);

  const json missing = rpc_json(R"({"jsonrpc":"2.0","id":4,"method":"SendMessage"})", sender);
  EXPECT_EQ(missing["error"]["code"], -32602);
  EXPECT_EQ(local_code_of(missing["error"]), "TESSIK_A2A_PARAMS_REQUIRED");
  const json not_object = rpc_json(rpc_body("SendMessage", "[1]"), sender);
  EXPECT_EQ(local_code_of(not_object["error"]), "TESSIK_A2A_PARAMS_INVALID");
  const json denied = rpc_json(rpc_body("SendMessage", "{}"), reader_a_);
  EXPECT_EQ(denied["error"]["message"], "A2A token is not allowed to send messages.");
}

TEST(JsonRpcEnvelopeTest, IdNotificationAndStreamingRules) {
  for (const char* id : {"7", "-12", "\"\"", "\"a b\""})
    EXPECT_TRUE(is_valid_json_rpc_id(id)) << id;
  for (const char* id : {"", "-", "1.5", "+1", "true", "\"", "null", "1e2", "[1]"})
    EXPECT_FALSE(is_valid_json_rpc_id(id)) << id;
  EXPECT_TRUE(is_json_rpc_notification(R"({"jsonrpc":"2.0","method":"x"})"));
  EXPECT_FALSE(is_json_rpc_notification(R"({"jsonrpc":"2.0","method":"x","id":null})"));
  EXPECT_FALSE(is_json_rpc_notification(R"({"jsonrpc":"2.00","method":"x"})"));
  EXPECT_FALSE(is_json_rpc_notification("[]"));
  for (const char* name : {"message/stream", "SendStreamingMessage", "tasks/resubscribe"})
    EXPECT_TRUE(is_streaming_method(name)) << name;
  for (const char* name : {"message/send", "GetTask", "unknown"})
    EXPECT_FALSE(is_streaming_method(name)) << name;
}

}  // namespace
}  // namespace tessik
