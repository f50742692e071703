// Bounds on what one request may make the gateway do: nesting depth on both bindings and in
// batches, the batch element limit, and a batch whose answers outgrow one response frame.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "a2a/jsonrpc/json_rpc.h"
#include "a2a/tasks/task_json.h"
#include "a2a/tasks/task_log.h"
#include "base/json_depth.h"
#include "support/gateway_fixture.h"

namespace tessik {
namespace {

using nlohmann::json;
using test::local_code_of;
using test::rpc_body;

std::string nested_arrays(std::size_t depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

std::string send_params(const std::string& message_id, const std::string& text,
                        const std::string& metadata = "{}") {
  return R"({"message":{"messageId":")" + message_id +
         R"(","role":"ROLE_USER","parts":[{"text":")" + text + R"("}],"metadata":)" + metadata +
         "}}";
}

class InputBounds : public ::testing::Test {
 protected:
  InputBounds() { f_.write_registry({}); }  // the built-in mailbox is the only target

  GatewayResponse post(const std::string& target, const std::string& body,
                       const std::string& version = "1.0") {
    return f_.call(f_.authorized(
        "POST", target, {{"Content-Type", "application/json"}, {"A2A-Version", version}}, body));
  }
  std::vector<std::string> stored_task_lines() {
    return read_latest_task_lines(task_log_path(f_.context));
  }

  test::GatewayFixture f_;
};

TEST_F(InputBounds, DeepJsonRpcRequestsAreInvalidRequestsOnEveryPath) {
  const std::string deep = nested_arrays(100'000);
  const std::vector<std::pair<std::string, std::string>> bodies = {
      {"params", rpc_body("SendMessage", deep, "1")},
      {"metadata", rpc_body("SendMessage", send_params("m1", "hi", R"({"x":)" + deep + "}"), "1")},
      {"0.3 name", rpc_body("message/send", deep, "1")},
      {"batch element", "[" + rpc_body("GetTask", deep, "1") + "]"},
      {"unbalanced", std::string(200'000, '[')},
  };
  for (const auto& [what, body] : bodies) {
    const std::string version = what == "0.3 name" ? "0.3" : "1.0";
    const GatewayResponse response = post("/a2a", body, version);
    ASSERT_EQ(response.status, 200) << what;
    const json answer = json::parse(response.body);
    ASSERT_TRUE(answer.is_object()) << what;
    EXPECT_TRUE(answer["id"].is_null()) << what;
    EXPECT_EQ(answer["error"]["code"], -32600) << what;
    EXPECT_EQ(local_code_of(answer["error"]), "TESSIK_A2A_JSON_TOO_DEEP") << what;
  }
  EXPECT_TRUE(stored_task_lines().empty());

  // The deepest allowed body still works: 64 levels counting the request object itself.
  const std::string params_at_limit = nested_arrays(kMaxJsonNestingDepth - 1);
  const json at_limit = json::parse(post("/a2a", rpc_body("GetTask", params_at_limit, "7")).body);
  EXPECT_EQ(at_limit["id"], 7);
  EXPECT_NE(local_code_of(at_limit["error"]), "TESSIK_A2A_JSON_TOO_DEEP");
}

TEST_F(InputBounds, DeepHttpJsonBodiesAre400BeforeAnythingRuns) {
  const std::string deep = nested_arrays(100'000);
  for (const std::string target :
       {"/a2a/message:send", "/a2a/tasks/t1:cancel", "/a2a/tasks/t1/pushNotificationConfigs"}) {
    const GatewayResponse response = post(target, send_params("m1", "hi", deep));
    EXPECT_EQ(response.status, 400) << target;
    EXPECT_EQ(local_code_of(json::parse(response.body)["error"]), "TESSIK_A2A_JSON_TOO_DEEP");
  }
  EXPECT_TRUE(stored_task_lines().empty());

  // Metadata just inside the bound is stored, and the stored task reads back.
  const std::string metadata = nested_arrays(kMaxJsonNestingDepth - 3);
  const GatewayResponse accepted =
      post("/a2a/message:send", send_params("m-limit", "hi", R"({"x":)" + metadata + "}"));
  ASSERT_EQ(accepted.status, 200) << accepted.body;
  const std::vector<std::string> lines = stored_task_lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(parse_task_record(lines[0]).has_value());
}

TEST_F(InputBounds, BatchesPastTheLimitAreRefusedWholeBeforeAnyElementRuns) {
  const auto batch = [](std::size_t count) {
    std::string body = "[";
    for (std::size_t i = 0; i < count; ++i) {
      if (i) body += ',';
      body += rpc_body("SendMessage", send_params("m" + std::to_string(i), "x"), std::to_string(i));
    }
    return body + "]";
  };
  const GatewayResponse refused = post("/a2a", batch(kMaxJsonRpcBatchElements + 1));
  const json answer = json::parse(refused.body);
  ASSERT_TRUE(answer.is_object()) << refused.body.substr(0, 200);
  EXPECT_TRUE(answer["id"].is_null());
  EXPECT_EQ(answer["error"]["code"], -32600);
  EXPECT_EQ(local_code_of(answer["error"]), "TESSIK_A2A_JSONRPC_INVALID_BATCH");
  EXPECT_TRUE(stored_task_lines().empty());

  // At the limit every element runs: cheap notifications keep the test quick.
  std::string notifications = "[";
  for (std::size_t i = 0; i < kMaxJsonRpcBatchElements; ++i) {
    notifications += i ? "," : "";
    notifications += R"({"jsonrpc":"2.0","method":"ListTasks"})";
  }
  notifications += "]";
  EXPECT_EQ(post("/a2a", notifications).status, 204);
}

TEST_F(InputBounds, BatchAnswersBeyondTheFrameAreRefusedAndNotedOnTheirTasks) {
  // Each answer carries its message text back in the task history.
  const std::string text(kJsonRpcBatchAnswerBudgetBytes / 2 + 1000, 'a');
  const std::string body = "[" + rpc_body("SendMessage", send_params("m1", text), "1") + "," +
                           rpc_body("SendMessage", send_params("m2", text), "2") + "," +
                           rpc_body("SendMessage", send_params("m3", text), "3") + "]";
  const GatewayResponse response = post("/a2a", body);
  ASSERT_EQ(response.status, 200);
  EXPECT_LT(response.body.size(), kJsonRpcBatchAnswerBudgetBytes + 4096);
  const json answers = json::parse(response.body);
  ASSERT_EQ(answers.size(), 3u);
  ASSERT_TRUE(answers[0].contains("result"));
  const std::string delivered = answers[0]["result"]["task"]["id"];
  for (int i : {1, 2}) {
    EXPECT_EQ(answers[i]["id"], i + 1);
    EXPECT_EQ(answers[i]["error"]["code"], -32603);
    EXPECT_EQ(local_code_of(answers[i]["error"]), "TESSIK_A2A_JSONRPC_BATCH_ANSWER_FULL");
  }
  // The second send ran, its answer did not fit: its task says so. The third never ran.
  const std::vector<std::string> lines = stored_task_lines();
  ASSERT_EQ(lines.size(), 2u);
  int noted = 0;
  for (const std::string& line : lines) {
    const std::optional<TaskRecord> task = parse_task_record(line);
    ASSERT_TRUE(task.has_value());
    const bool has_note =
        !task->events.empty() && task->events.back().code == "batch_answer_not_delivered";
    EXPECT_EQ(has_note, task->id != delivered) << task->id;
    noted += has_note;
  }
  EXPECT_EQ(noted, 1);
}

}  // namespace
}  // namespace tessik
