// The push-configuration routes through the whole gateway front, on HTTP+JSON and on
// JSON-RPC under both protocol versions, and a SendMessage carrying its configuration.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "a2a/tasks/task_log.h"
#include "support/gateway_fixture.h"
#include "support/jsonl_reader.h"
#include "support/task_fixtures.h"

namespace tessik {
namespace {

using nlohmann::json;

class PushRoutesTest : public ::testing::Test {
 protected:
  PushRoutesTest() {
    f_.env.set("TESSIK_EXE", "/bin/true");  // sends stop at the hand-off
    f_.context.trust_broker_principal = true;
    f_.context.principal =
        test::client_principal("client-a", {"task.push", "task.read", "agent.send"});
    f_.context.principal.sender_agent = "alice";
    f_.context.push_sender = [this](const std::string& url, const std::string& payload,
                                    const HttpHeaders&) {
      posts_.push_back(url + " " + payload.substr(0, 16));
      HttpResponse response;
      response.status_code = 200;
      return response;
    };
    append_task_record(task_log(), test::stored_task("t1", "client-a", "2026-01-01T00:00:01Z"));
  }

  std::filesystem::path task_log() const { return f_.env.state_dir() / "a2a" / "tasks.jsonl"; }

  GatewayResponse http(const std::string& method, const std::string& path,
                       const std::string& body = "") {
    return f_.call(f_.request(method, "/a2a" + path,
                              {{"A2A-Version", "1.0"}, {"Content-Type", "application/json"}},
                              body));
  }

  json rpc(const std::string& method, const std::string& params, const std::string& version) {
    const std::string body =
        R"({"jsonrpc":"2.0","id":1,"method":")" + method + R"(","params":)" + params + "}";
    const GatewayResponse response =
        f_.call(f_.request("POST", "/a2a/rpc",
                           {{"A2A-Version", version}, {"Content-Type", "application/json"}}, body));
    EXPECT_EQ(response.status, 200) << response.body;
    return json::parse(response.body);
  }

  test::GatewayFixture f_;
  std::vector<std::string> posts_;
};

TEST_F(PushRoutesTest, HttpCreateGetListDelete) {
  GatewayResponse created =
      http("POST", "/tasks/t1/pushNotificationConfigs",
           R"({"id":"c1","url":"https://hooks.example.com/cb","token":"tk"})");
  ASSERT_EQ(created.status, 200) << created.body;
  EXPECT_EQ(created.body,
            R"({"taskId":"t1","id":"c1","url":"https://hooks.example.com/cb","token":"tk"})");
  EXPECT_TRUE(posts_.empty());  // the task is still working: nothing to deliver yet

  EXPECT_EQ(http("GET", "/tasks/t1/pushNotificationConfigs/c1").body, created.body);
  EXPECT_EQ(http("GET", "/tasks/t1/pushNotificationConfigs").body,
            R"({"configs":[)" + created.body + R"(],"nextPageToken":""})");

  const GatewayResponse mismatch = http("POST", "/tasks/t1/pushNotificationConfigs",
                                        R"({"taskId":"t2","url":"https://hooks.example.com/"})");
  EXPECT_EQ(mismatch.status, 400);
  EXPECT_NE(mismatch.body.find("Request body taskId must match path task id."), std::string::npos);
  const GatewayResponse invalid =
      http("POST", "/tasks/t1/pushNotificationConfigs", R"({"url":"http://example.com/"})");
  EXPECT_EQ(invalid.status, 400);
  EXPECT_NE(invalid.body.find("TESSIK_A2A_PUSH_CONFIG_INVALID"), std::string::npos);

  // Another client neither sees nor replaces the configuration.
  const Principal owner = f_.context.principal;
  f_.context.principal = test::client_principal("client-b", {"task.push"});
  append_task_record(task_log(), test::stored_task("t1", "client-b", "2026-01-01T00:00:02Z"));
  EXPECT_EQ(http("GET", "/tasks/t1/pushNotificationConfigs").body,
            R"({"configs":[],"nextPageToken":""})");
  EXPECT_EQ(http("GET", "/tasks/t1/pushNotificationConfigs/c1").status, 404);
  EXPECT_EQ(http("POST", "/tasks/t1/pushNotificationConfigs",
                 R"({"id":"c1","url":"https://evil.example.com/"})")
                .status,
            404);
  EXPECT_EQ(http("DELETE", "/tasks/t1/pushNotificationConfigs/c1").status, 404);
  f_.context.principal = owner;
  append_task_record(task_log(), test::stored_task("t1", "client-a", "2026-01-01T00:00:03Z"));

  const GatewayResponse deleted = http("DELETE", "/tasks/t1/pushNotificationConfigs/c1");
  EXPECT_EQ(deleted.status, 200);
  EXPECT_EQ(deleted.body, "{}");
  EXPECT_EQ(http("GET", "/tasks/t1/pushNotificationConfigs/c1").status, 404);
  EXPECT_EQ(http("DELETE", "/tasks/t1/pushNotificationConfigs/c1").status, 404);
  EXPECT_EQ(http("GET", "/tasks/t1/pushNotificationConfigs").body,
            R"({"configs":[],"nextPageToken":""})");
}

TEST_F(PushRoutesTest, JsonRpcNamesOfBothVersions) {
  json created = rpc("CreateTaskPushNotificationConfig",
                     R"({"taskId":"t1","id":"c1","url":"https://hooks.example.com/a",
                         "authentication":{"scheme":"Bearer","credentials":"cr"}})",
                     "1.0");
  EXPECT_EQ(created["result"]["authentication"]["credentials"], "cr");
  created = rpc("tasks/pushNotificationConfigs/create",
                R"({"taskId":"t1","id":"c2","url":"https://hooks.example.com/b"})", "1.0");
  EXPECT_EQ(created["result"]["id"], "c2");
  const json listed = rpc("tasks/pushNotificationConfigs/list", R"({"taskId":"t1"})", "1.0");
  ASSERT_EQ(listed["result"]["configs"].size(), 2u);
  EXPECT_EQ(rpc("GetTaskPushNotificationConfig", R"({"taskId":"t1","id":"c2"})", "1.0")["result"],
            created["result"]);
  EXPECT_EQ(rpc("tasks/pushNotificationConfigs/get", R"({"taskId":"t1"})",
                "1.0")["error"]["data"][0]["metadata"]["localCode"],
            "TESSIK_A2A_PUSH_CONFIG_ID_REQUIRED");
  EXPECT_EQ(
      rpc("DeleteTaskPushNotificationConfig", R"({"taskId":"t1","id":"c2"})", "1.0")["result"],
      json::object());
  EXPECT_EQ(rpc("tasks/pushNotificationConfigs/delete", R"({"taskId":"t1","id":"c2"})",
                "1.0")["error"]["code"],
            -32001);

  // 0.3: the configuration nested beside the task id, the scheme in a list.
  const json set = rpc("tasks/pushNotificationConfig/set",
                       R"({"taskId":"t1","pushNotificationConfig":{"id":"c3",
                           "url":"https://hooks.example.com/c",
                           "authentication":{"schemes":["Basic"],"credentials":"xy"}}})",
                       "0.3");
  EXPECT_EQ(set["result"], json::parse(R"({"taskId":"t1","pushNotificationConfig":{"id":"c3",
      "url":"https://hooks.example.com/c","authentication":{"schemes":["Basic"],"credentials":"xy"}}})"));
  EXPECT_EQ(rpc("tasks/pushNotificationConfig/get",
                R"({"id":"t1","pushNotificationConfigId":"c3"})", "0.3")["result"],
            set["result"]);
  const json list03 = rpc("tasks/pushNotificationConfig/list", R"({"id":"t1"})", "0.3");
  ASSERT_EQ(list03["result"].size(), 2u);
  EXPECT_EQ(list03["result"][1], set["result"]);
  EXPECT_TRUE(rpc("tasks/pushNotificationConfig/delete",
                  R"({"id":"t1","pushNotificationConfigId":"c3"})", "0.3")["result"]
                  .is_null());
  EXPECT_EQ(rpc("tasks/pushNotificationConfig/list", R"({"id":"t1"})", "0.3")["result"].size(), 1u);
  EXPECT_EQ(rpc("tasks/pushNotificationConfig/list", "{}", "0.3")["error"]["code"], -32602);
}

TEST_F(PushRoutesTest, ConfigurationForAnEndedTaskDeliversItsFinalUpdate) {
  append_task_record(
      task_log(), test::stored_task("t1", "client-a", "2026-01-01T00:00:05Z", kTaskStateCompleted));
  ASSERT_EQ(http("POST", "/tasks/t1/pushNotificationConfigs",
                 R"({"id":"c1","url":"https://hooks.example.com/done"})")
                .status,
            200);
  ASSERT_EQ(posts_.size(), 2u);
  EXPECT_EQ(posts_[0], "https://hooks.example.com/done {\"task\":{\"contex");
  const std::vector<json> log =
      test::read_jsonl(f_.env.state_dir() / "a2a" / "push-delivery.jsonl");
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[1]["outcome"], "delivered");
}

TEST_F(PushRoutesTest, SendMessageStoresItsConfigurationAndPushesTheNewTask) {
  f_.write_registry({});  // the built-in mailbox is the only, and so the implied, target
  const std::string body =
      R"({"message":{"messageId":"m-1","role":"ROLE_USER","parts":[{"text":"hi"}]},)"
      R"("configuration":{"taskPushNotificationConfig":{"id":"inline",)"
      R"("url":"https://hooks.example.com/inline","token":"t0k"}}})";
  const GatewayResponse sent = http("POST", "/message:send", body);
  ASSERT_EQ(sent.status, 200) << sent.body;
  const std::string task_id = json::parse(sent.body)["task"]["id"];
  ASSERT_GE(posts_.size(), 2u);
  EXPECT_EQ(posts_[0].substr(0, posts_[0].find(' ')), "https://hooks.example.com/inline");
  const json got =
      json::parse(http("GET", "/tasks/" + task_id + "/pushNotificationConfigs/inline").body);
  EXPECT_EQ(got["token"], "t0k");
  EXPECT_EQ(got["taskId"], task_id);

  // A continuation of the task pushes its new documents to the stored configuration.
  const std::size_t before_continuation = posts_.size();
  const std::string continuation =
      R"({"message":{"messageId":"m-1b","role":"ROLE_USER","taskId":")" + task_id +
      R"(","parts":[{"text":"more"}]}})";
  const GatewayResponse continued = http("POST", "/message:send", continuation);
  ASSERT_EQ(continued.status, 200) << continued.body;
  EXPECT_EQ(json::parse(continued.body)["task"]["id"], task_id);
  ASSERT_GT(posts_.size(), before_continuation);
  EXPECT_EQ(posts_.back().substr(0, posts_.back().find(' ')), "https://hooks.example.com/inline");

  // A send without a configuration posts nothing new.
  const std::size_t before = posts_.size();
  const std::string plain =
      R"({"message":{"messageId":"m-2","role":"ROLE_USER","parts":[{"text":"again"}]}})";
  ASSERT_EQ(http("POST", "/message:send", plain).status, 200);
  EXPECT_EQ(posts_.size(), before);
}

}  // namespace
}  // namespace tessik
