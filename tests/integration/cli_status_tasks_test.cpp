// `tessik status` against a stopped and a running broker, and `tessik tasks` through the real
// broker over a log of 1,000 visible tasks (plus tasks of another client that must stay
// hidden): paging, filters, show and cancel with the gateway's scopes.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <nlohmann/json.hpp>

#include "a2a/tasks/task_log.h"
#include "base/sha256.h"
#include "state/state_dir.h"
#include "support/command_run.h"
#include "support/gateway_stack.h"
#include "support/task_fixtures.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

using nlohmann::json;

// The client id the gateway gives the local token.
constexpr const char* kLocalClient = "inline-token";

std::string task_id(int i) {
  char text[16];
  std::snprintf(text, sizeof text, "task-%04d", i);
  return text;
}

// Task i: newer for larger i; every third completed; even/odd contexts; every fifth to
// "Agent Five".
TaskRecord numbered_task(int i, const std::string& owner) {
  TaskRecord task = test::stored_task(task_id(i), owner, test::stamp(i),
                                      i % 3 == 0 ? kTaskStateCompleted : kTaskStateWorking);
  task.context_id = i % 2 == 0 ? "ctx-even" : "ctx-odd";
  if (i % 5 == 0) task.target_agent = "Agent Five";
  return task;
}

class CliStatusTasksTest : public ::testing::Test {
 protected:
  test::TempEnv env;
  void SetUp() override { env.set("TESSIK_SERVICE_UID", std::to_string(::getuid())); }

  test::CommandRun run(const std::string& args) { return test::run_tessik(env.root(), args); }

  json run_json(const std::string& args) {
    const test::CommandRun result = run(args);
    EXPECT_EQ(result.code, 0) << args << ": " << result.err;
    return json::parse(result.out, nullptr, false);
  }

  void write_tasks(int count, const std::string& owner, int first = 0) {
    for (int i = first; i < first + count; ++i)
      append_task_record(a2a_directory() / "tasks.jsonl", numbered_task(i, owner));
  }

  // Follows nextPageToken from the first page; every page must report `total`.
  std::vector<std::string> all_pages(const std::string& args, std::size_t total) {
    std::vector<std::string> ids;
    std::string token;
    for (int pages = 0; pages < 1000; ++pages) {
      const json page =
          run_json("tasks --json " + args + (token.empty() ? "" : " --page-token " + token));
      EXPECT_EQ(page["totalSize"], total) << args;
      for (const json& task : page["tasks"])
        ids.push_back(task["id"]);
      token = page["nextPageToken"];
      if (token.empty()) break;
    }
    return ids;
  }
};

// Newest first among the visible tasks 0..999 that pass `keep`.
template <typename Keep>
std::vector<std::string> expected_ids(Keep keep) {
  std::vector<std::string> ids;
  for (int i = 999; i >= 0; --i)
    if (keep(i)) ids.push_back(task_id(i));
  return ids;
}

TEST_F(CliStatusTasksTest, StatusTellsARunningFromAStoppedBroker) {
  write_tasks(3, kLocalClient);  // task 0 completed, 1 and 2 working
  const test::CommandRun stopped = run("status");
  EXPECT_EQ(stopped.code, 3) << stopped.err;
  EXPECT_TRUE(stopped.out.starts_with("broker:        not running (")) << stopped.out;
  EXPECT_NE(stopped.out.find("No such file or directory"), std::string::npos) << stopped.out;
  EXPECT_NE(stopped.out.find("\ntasks:         3 (completed 1, working 2)\n"), std::string::npos)
      << stopped.out;
  const test::CommandRun tasks_stopped = run("tasks");
  EXPECT_EQ(tasks_stopped.code, 3);
  EXPECT_NE(tasks_stopped.err.find("not running"), std::string::npos) << tasks_stopped.err;

  test::GatewayStack stack;
  const std::string endpoint = "127.0.0.1:" + std::to_string(stack.port());
  const test::CommandRun running = run("status --json --endpoint " + endpoint);
  EXPECT_EQ(running.code, 0) << running.err;
  const json status = json::parse(running.out);
  EXPECT_EQ(status["broker"]["running"], true);
  EXPECT_EQ(status["api_service"]["answering"], true);
  EXPECT_EQ(status["api_service"]["endpoint"], "http://" + endpoint + "/a2a");
  EXPECT_EQ(status["state_directory"], resolve_state_directory().string());
  EXPECT_EQ(status["agents"], 1);
  EXPECT_EQ(status["tasks"]["total"], 3);
  EXPECT_EQ(status["tasks"]["by_state"], json({{"completed", 1}, {"working", 2}}));
  EXPECT_EQ(status["push"], json({{"pending", 0}, {"dead_lettered", 0}}));

  // The stand-in alone going away does not make the broker "not running".
  stack.api_service().send_signal(SIGTERM);
  ASSERT_TRUE(stack.api_service().wait_for_exit());
  const json without_stand_in = run_json("status --json --endpoint " + endpoint);
  EXPECT_EQ(without_stand_in["broker"]["running"], true);
  EXPECT_EQ(without_stand_in["api_service"]["answering"], false);

  stack.broker().send_signal(SIGTERM);
  ASSERT_TRUE(stack.broker().wait_for_exit());
  EXPECT_EQ(run("status").code, 3);
  EXPECT_EQ(run("status --bogus").code, 2);
}

TEST_F(CliStatusTasksTest, TasksPagesAndFiltersAThousandTasksThroughTheBroker) {
  write_tasks(1000, kLocalClient);
  write_tasks(10, "someone-else", 1000);  // newer, but not the local token's
  test::BrokerProcess broker;
  ASSERT_TRUE(broker.wait_until_serving());

  const std::vector<std::string> everything = expected_ids([](int) { return true; });
  EXPECT_EQ(all_pages("--page-size 100", 1000), everything);

  // Text on a pipe: the first 50 rows, and where the next page starts.
  const test::CommandRun first_page = run("tasks");
  ASSERT_EQ(first_page.code, 0) << first_page.err;
  EXPECT_EQ(std::count(first_page.out.begin(), first_page.out.end(), '\n'), 50);
  EXPECT_TRUE(first_page.out.starts_with(everything[0] + "\tcompleted\t")) << first_page.out;
  EXPECT_EQ(first_page.err,
            "tessik tasks: 50 of 1000 shown; next page: --page-token " + everything[49] + "\n");

  const auto completed_even = [](int i) { return i % 3 == 0 && i % 2 == 0; };
  EXPECT_EQ(all_pages("--state COMPLETED --context ctx-even --page-size 100", 167),
            expected_ids(completed_even));
  const auto fifth_working = [](int i) { return i % 5 == 0 && i % 3 != 0; };
  EXPECT_EQ(all_pages("--agent 'agent five' --state working --page-size 7", 133),
            expected_ids(fifth_working));
  EXPECT_EQ(run("tasks --agent 'Agent Five' --page-token task-0001").code, 1);

  const test::CommandRun empty = run("tasks --context no-such-context");
  EXPECT_EQ(empty.code, 0);
  EXPECT_EQ(empty.out, "");
  EXPECT_EQ(empty.err, "tessik tasks: no tasks\n");

  for (const char* args : {"tasks --page-size 0", "tasks --page-size 101", "tasks show",
                           "tasks cancel", "tasks --bogus", "tasks show x --state working"}) {
    const test::CommandRun refused = run(args);
    EXPECT_EQ(refused.code, 2) << args;
    EXPECT_TRUE(refused.err.starts_with("tessik tasks: ")) << refused.err;
  }
}

TEST_F(CliStatusTasksTest, ShowAndCancelKeepTheGatewaysScopesAndVisibility) {
  write_tasks(4, kLocalClient);  // task 0 and 3 completed, 1 and 2 working
  write_tasks(1, "someone-else", 4);
  const std::string admin_token = "cli-test-admin-token";
  test::write_file(a2a_directory() / "clients.tsv",
                   sha256_hex(admin_token) + "\tops\tops-agent\tlocal\ttask.read,task.cancel," +
                       "task.admin\n");
  test::BrokerProcess broker;
  ASSERT_TRUE(broker.wait_until_serving());

  const test::CommandRun shown = run("tasks show task-0001");
  ASSERT_EQ(shown.code, 0) << shown.err;
  EXPECT_TRUE(shown.out.starts_with("id:       task-0001\nstate:    working at ")) << shown.out;
  EXPECT_EQ(run_json("tasks show task-0001 --json")["id"], "task-0001");
  const test::CommandRun hidden = run("tasks show task-0004");
  EXPECT_EQ(hidden.code, 1);
  EXPECT_EQ(hidden.err, "tessik tasks: Task not found\n");
  EXPECT_EQ(run_json("tasks show task-0004 --json --token " + admin_token)["id"], "task-0004");

  const test::CommandRun denied = run("tasks cancel task-0001");
  EXPECT_EQ(denied.code, 1);
  EXPECT_TRUE(denied.err.starts_with("tessik tasks: A2A token is not allowed to cancel tasks."))
      << denied.err;
  EXPECT_NE(run("tasks show task-0001").out.find("state:    working"), std::string::npos);

  env.set("TESSIK_A2A_TOKEN", admin_token);
  const json cancelled = run_json("tasks cancel task-0001 --reason 'no longer needed' --json");
  EXPECT_EQ(cancelled["status"]["state"], "TASK_STATE_CANCELED");
  EXPECT_EQ(run_json("tasks show task-0001 --json")["status"]["state"], "TASK_STATE_CANCELED");
  const test::CommandRun terminal = run("tasks cancel task-0003");
  EXPECT_EQ(terminal.code, 1);
  EXPECT_NE(terminal.err.find("terminal state"), std::string::npos) << terminal.err;
}

}  // namespace
}  // namespace tessik
