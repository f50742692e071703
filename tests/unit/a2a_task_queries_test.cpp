// Get, list and cancel over a real task log in a fresh state directory, rendered through
// both bindings.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "a2a/tasks/task_json.h"
#include "a2a/tasks/task_log.h"
#include "a2a/tasks/task_queries.h"
#include "a2a/tasks/task_view.h"
#include "support/task_fixtures.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

using nlohmann::json;
using test::client_principal;
using test::read_file;
using test::stamp;
using test::stored_task;

class TaskQueriesTest : public ::testing::Test {
 protected:
  TaskQueriesTest() { context_.tasks_path = env_.state_dir() / "a2a" / "tasks.jsonl"; }

  void store(const TaskRecord& task) { append_task_record(context_.tasks_path, task); }

  json list(const TaskListParams& params, const Principal& principal) {
    const TaskOperationResult result = list_tasks(context_, principal, params, "1.0");
    EXPECT_TRUE(result.ok()) << (result.error ? result.error->message : "");
    return json::parse(result.body);
  }

  static std::vector<std::string> ids(const json& page) {
    std::vector<std::string> out;
    for (const json& task : page["tasks"])
      out.push_back(task["id"]);
    return out;
  }

  test::TempEnv env_;
  GatewayContext context_;
  Principal reader_a_ = client_principal("client-a", {"task.read"});
  Principal reader_b_ = client_principal("client-b", {"task.read"});
  Principal admin_ = client_principal("client-z", {"Task.Admin "});
};

// The page sizes, tokens and order are shown on both bindings by the JSON-RPC tests; here the
// list's own text, a padded token and the artifacts a list leaves out.
TEST_F(TaskQueriesTest, LastPageByAPaddedTokenAndTheListsKeyOrder) {
  for (int i = 1; i <= 120; ++i)
    store(stored_task("t" + std::to_string(i), "client-a", stamp(i)));
  store(stored_task("hidden", "client-b", stamp(500)));
  EXPECT_FALSE(list({}, reader_a_)["tasks"][0].contains("artifacts"));

  TaskListParams params;
  params.page_token = " t21 ";
  const json third = list(params, reader_a_);
  EXPECT_EQ(third["tasks"].size(), 20u);
  EXPECT_EQ(third["tasks"][0]["id"], "t20");

  // The list document's own key order.
  const std::string body = list_tasks(context_, reader_a_, params, "1.0").body;
  EXPECT_EQ(body.rfind("{\"tasks\":[", 0), 0u);
  EXPECT_NE(body.find("],\"nextPageToken\":\"\",\"pageSize\":50,\"totalSize\":120}"),
            std::string::npos);
}

TEST_F(TaskQueriesTest, FiltersOnStatusContextAndTimestamp) {
  store(stored_task("w", "client-a", stamp(1)));
  store(stored_task("c1", "client-a", stamp(2), kTaskStateCompleted));
  store(stored_task("c2", "client-a", stamp(3), kTaskStateCompleted));
  store(stored_task("ir", "client-a", stamp(4), kTaskStateInputRequired));
  TaskListParams completed;  // its other spellings: the JSON-RPC filter test
  completed.status = "COMPLETED";
  EXPECT_EQ(ids(list(completed, reader_a_)), (std::vector<std::string>{"c2", "c1"}));
  TaskListParams input;
  input.status = "input-required";
  EXPECT_EQ(ids(list(input, reader_a_)), std::vector<std::string>{"ir"});
  TaskListParams context;
  context.context_id = "ctx-c1";
  EXPECT_EQ(ids(list(context, reader_a_)), std::vector<std::string>{"c1"});
  TaskListParams since;
  since.status_timestamp_after = stamp(3);  // equal timestamps stay in
  EXPECT_EQ(ids(list(since, reader_a_)), (std::vector<std::string>{"ir", "c2"}));
}

TEST_F(TaskQueriesTest, EqualTimestampsKeepNewestWrittenFirst) {
  store(stored_task("a", "client-a", stamp(5)));
  store(stored_task("b", "client-a", stamp(5)));
  store(stored_task("old", "client-a", stamp(1)));
  store(stored_task("a", "client-a", stamp(5)));  // rewritten: now the latest line
  EXPECT_EQ(ids(list({}, reader_a_)), (std::vector<std::string>{"a", "b", "old"}));
}

// Owners and admins on both bindings are the JSON-RPC tests'; here the anonymous caller, a
// hidden task that answers as a missing one, and ownership by agent and node.
TEST_F(TaskQueriesTest, CallersSeeOnlyTheirOwnTasksUnlessAdmin) {
  store(stored_task("mine", "client-a", stamp(1)));
  store(stored_task("theirs", "client-b", stamp(2)));
  EXPECT_EQ(ids(list({}, Principal{})).size(), 2u);  // anonymous with auth off
  const TaskOperationResult hidden = get_task(context_, reader_a_, "theirs", {}, "1.0");
  ASSERT_FALSE(hidden.ok());
  EXPECT_EQ(get_task(context_, reader_a_, "nothing", {}, "1.0").error, hidden.error);

  // Without a client id, agent and node decide.
  TaskRecord by_agent = stored_task("by-agent", "", stamp(3));
  by_agent.requester_agent = "agent-of-client-b";
  store(by_agent);
  Principal agent_b = client_principal("other-client", {"task.read"});
  agent_b.sender_agent = " agent-of-client-b ";
  agent_b.sender_node = "";
  EXPECT_TRUE(get_task(context_, agent_b, "by-agent", {}, "1.0").ok());
  EXPECT_FALSE(get_task(context_, reader_a_, "by-agent", {}, "1.0").ok());
}

TEST_F(TaskQueriesTest, ListParametersAreValidated) {
  const auto refusal = [&](TaskListParams params) {
    const TaskOperationResult result = list_tasks(context_, reader_a_, params, "1.0");
    return result.error ? result.error->message : std::string("accepted");
  };
  for (const char* size : {"0", "101", "-1", "+5", "ten", "", "99999999999999999999"}) {
    TaskListParams params;
    params.page_size = size;
    EXPECT_EQ(refusal(params), "pageSize must be an integer from 1 through 100.") << size;
  }
  TaskListParams spaced;
  spaced.page_size = " 7 ";
  EXPECT_EQ(refusal(spaced), "accepted");
  TaskListParams history;
  history.history_length = "2147483648";
  EXPECT_EQ(refusal(history), "historyLength must be a non-negative integer.");
  TaskListParams artifacts;
  artifacts.include_artifacts = "yes";
  EXPECT_EQ(refusal(artifacts), "includeArtifacts must be true or false.");

  const json params = json::parse(R"({"page_size":3,"pageSize":"9","includeArtifacts":true})");
  const TaskListParams from_rpc = list_params_from_json(params);
  EXPECT_EQ(from_rpc.page_size, "3");
  EXPECT_EQ(from_rpc.include_artifacts, "true");
  EXPECT_EQ(list_params_from_query({{"pageToken", "x"}}).page_token, "x");
}

TEST_F(TaskQueriesTest, ViewHonoursHistoryLengthArtifactsAndVersion) {
  TaskRecord task = stored_task("t", "client-a", stamp(1));
  task.history = "[";
  for (int i = 1; i <= 5; ++i) {
    if (i > 1) task.history += ',';
    task.history +=
        build_message_json("u" + std::to_string(i), "ctx-t", "t", "ROLE_USER", "x", false);
  }
  task.history += ']';
  store(task);
  const json none = json::parse(get_task(context_, reader_a_, "t", std::string("0"), "1.0").body);
  EXPECT_FALSE(none.contains("history"));
  EXPECT_EQ(none["artifacts"], json::array());  // get always includes artifacts
  const json two = json::parse(get_task(context_, reader_a_, "t", std::string("2"), "1.0").body);
  ASSERT_EQ(two["history"].size(), 2u);
  EXPECT_EQ(two["history"][0]["messageId"], "u4");
  const TaskOperationResult bad = get_task(context_, reader_a_, "t", std::string("-1"), "1.0");
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error->local_code, "TESSIK_A2A_HISTORY_LENGTH_INVALID");

  const std::string view = build_task_view(task_to_json_v1(task), std::nullopt, false, "0.3");
  EXPECT_EQ(
      view.rfind("{\"id\":\"t\",\"contextId\":\"ctx-t\",\"status\":{\"state\":\"working\"", 0), 0u);
  EXPECT_NE(view.find(",\"kind\":\"task\"}"), std::string::npos);
  EXPECT_EQ(json::parse(view)["history"].size(), 5u);
}

TEST_F(TaskQueriesTest, CancelAppendsACanceledCopyOnce) {
  TaskRecord task = stored_task("t", "client-a", stamp(1));
  task.error_code = "X";
  task.error_message = "old failure";
  store(task);
  const std::string before = read_file(context_.tasks_path);
  const TaskOperationResult canceled =
      cancel_task(context_, reader_a_, "t", R"({"metadata":{"reason":" user gave up "}})", "1.0");
  ASSERT_TRUE(canceled.ok());
  const json doc = json::parse(canceled.body);
  EXPECT_EQ(doc["status"]["state"], "TASK_STATE_CANCELED");
  EXPECT_FALSE(doc["metadata"].contains("tessikErrorCode"));
  const json last = doc["metadata"]["tessikEvents"].back();
  EXPECT_EQ(last["code"], "canceled_by_a2a_client");
  EXPECT_EQ(last["message"], "user gave up");
  const std::string after = read_file(context_.tasks_path);
  EXPECT_EQ(after.substr(0, before.size()), before);  // appended, never rewritten
  EXPECT_EQ(after.substr(before.size()), canceled.body + "\n");

  // A second cancel returns the task unchanged and writes nothing.
  const TaskOperationResult again = cancel_task(context_, reader_a_, "t", "", "0.3");
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(json::parse(again.body)["status"]["state"], "canceled");
  EXPECT_EQ(read_file(context_.tasks_path), after);
}

TEST_F(TaskQueriesTest, CancelRefusesTerminalHiddenAndMissingTasks) {
  store(stored_task("done", "client-a", stamp(1), kTaskStateCompleted));
  store(stored_task("theirs", "client-b", stamp(1)));
  const std::string before = read_file(context_.tasks_path);
  const TaskOperationResult done = cancel_task(context_, reader_a_, "done", "{}", "1.0");
  ASSERT_FALSE(done.ok());
  EXPECT_EQ(done.error->http_status, 409);
  EXPECT_EQ(done.error->message, "Task is already in a terminal state and cannot be canceled.");
  EXPECT_EQ(json::parse(render_task_result_json_rpc(done, "\"x\"").body)["error"]["code"], -32002);
  EXPECT_EQ(cancel_task(context_, reader_a_, "theirs", "{}", "1.0").error->http_status, 404);
  EXPECT_EQ(cancel_task(context_, reader_a_, "none", "{}", "1.0").error->http_status, 404);
  EXPECT_EQ(read_file(context_.tasks_path), before);

  const TaskOperationResult by_admin = cancel_task(context_, admin_, "theirs", "not json", "1.0");
  ASSERT_TRUE(by_admin.ok());
  EXPECT_EQ(json::parse(by_admin.body)["metadata"]["tessikEvents"].back()["message"],
            kDefaultCancelReason);
}

TEST_F(TaskQueriesTest, CancelThatCannotBeStoredAnswers500AndKeepsTheLog) {
  store(stored_task("t", "client-a", stamp(1)));
  const std::string before = read_file(context_.tasks_path);
  TaskOperationResult result;
  {
    test::FileSizeLimit limit(before.size());
    result = cancel_task(context_, reader_a_, "t", "{}", "1.0");
  }
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error->http_status, 500);
  EXPECT_EQ(result.error->message, "could not write A2A task log: " + context_.tasks_path.string());
  EXPECT_EQ(read_file(context_.tasks_path), before);
  EXPECT_EQ(json::parse(get_task(context_, reader_a_, "t", {}, "1.0").body)["status"]["state"],
            "TASK_STATE_WORKING");
}

TEST(TaskQueryHelpersTest, TaskIdFromPathAndStateNormalisation) {
  for (const char* text : {"/tasks/abc", "/agents/x/tasks/ abc :cancel", "/tasks/abc:subscribe"})
    EXPECT_EQ(task_id_from_path(text), "abc") << text;
  EXPECT_EQ(task_id_from_path("/tasks/:cancel"), ":cancel");
  EXPECT_EQ(task_id_from_path("/other"), "");
  EXPECT_EQ(normalize_task_state_filter(" TASK_STATE_INPUT_REQUIRED "), "input_required");
  EXPECT_EQ(normalize_task_state_filter("input-required"), "input_required");
}

}  // namespace
}  // namespace tessik
