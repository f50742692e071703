// Replies complete their tasks: the operation a source context names, the completed record
// and its document, the cases that change nothing, a reply that overtakes its send's outcome,
// and the pipeline observer end to end with a fake delivery worker.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "a2a/tasks/task_json.h"
#include "a2a/tasks/task_log.h"
#include "a2a/tasks/task_replies.h"
#include "base/text.h"
#include "pipeline/send_pipeline.h"
#include "state/state_dir.h"
#include "support/build_paths.h"
#include "support/delivery_env.h"
#include "support/jsonl_reader.h"
#include "support/registry_rows.h"
#include "support/task_fixtures.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

using nlohmann::json;

TEST(RepliedMessageIdTest, OnlyAnOperationContextNamesAMessage) {
  EXPECT_EQ(replied_message_id("tessik-operation:abc123"), "abc123");
  EXPECT_EQ(replied_message_id("  Tessik-Operation: abc123 \n"), "abc123");
  for (const char* text :
       {"tessik-operation:", "tessik-operation", "cli", "x tessik-operation:abc"})
    EXPECT_EQ(replied_message_id(text), "") << text;
}

TEST(TaskReplyTextTest, LongRepliesAreCutOnACharacterBoundaryWithANote) {
  const std::string fits(kMaxTaskReplyBytes, 'a');
  EXPECT_EQ(task_reply_text(fits, "r-1"), fits);
  // A three-byte character straddles the bound: it goes entirely.
  const std::string straddling = std::string(kMaxTaskReplyBytes - 1, 'a') + "\xe6\xbc\xa2tail";
  const std::string kept = task_reply_text(straddling, "r-1");
  EXPECT_EQ(kept.substr(0, kMaxTaskReplyBytes), std::string(kMaxTaskReplyBytes - 1, 'a') + "\n");
  EXPECT_TRUE(is_valid_utf8(kept));
  EXPECT_NE(kept.find("first " + std::to_string(kMaxTaskReplyBytes - 1) + " of " +
                      std::to_string(straddling.size()) + " bytes"),
            std::string::npos)
      << kept.substr(kMaxTaskReplyBytes - 1);
  EXPECT_NE(kept.find("message r-1 carried all of it"), std::string::npos);
}

class TaskRepliesTest : public ::testing::Test {
 protected:
  test::TempEnv env;
  std::filesystem::path log = env.root() / "a2a" / "tasks.jsonl";

  TaskReply reply_to(const std::string& message_id, const std::string& body = "the answer") {
    return {message_id, body, "reply-msg-1", "Peer Agent", ""};
  }
  TaskRecord latest(const std::string& id) {
    const std::optional<std::string> line = find_latest_task_line(log, id);
    EXPECT_TRUE(line.has_value()) << id;
    return line ? parse_task_record(*line).value_or(TaskRecord{}) : TaskRecord{};
  }
};

TEST_F(TaskRepliesTest, AWorkingTaskRecordsTheReplyAndCompletes) {
  append_task_record(log, test::stored_task("t-1", "client-a", "2026-01-01T00:00:00Z"));
  append_task_record(log, test::stored_task("t-2", "client-a", "2026-01-01T00:00:00Z"));
  const std::string body = "line one\nsaid \"yes\" \\ \x01 caf\xc3\xa9";

  const TaskReplyResult result = record_task_reply(log, reply_to("msg-t-1", body));
  ASSERT_EQ(result.status, TaskReplyStatus::completed);
  const TaskRecord task = latest("t-1");
  EXPECT_EQ(task_to_json_v1(task), task_to_json_v1(*result.task));
  EXPECT_EQ(task.state, kTaskStateCompleted);
  EXPECT_EQ(task.reply_body, body);
  EXPECT_EQ(task.reply_message_id, "reply-msg-1");
  EXPECT_EQ(task.reply_sender_agent, "Peer Agent");
  EXPECT_EQ(task.reply_sender_node, "local");
  ASSERT_FALSE(task.events.empty());
  EXPECT_EQ(task.events.back().code, "reply_received");
  EXPECT_EQ(task.events.back().state, kTaskStateCompleted);
  EXPECT_EQ(task.timestamp, task.events.back().timestamp);

  // A client reading the task sees the answer as its status message and its artifact.
  const json document = json::parse(task_to_json_v1(task));
  EXPECT_EQ(document["status"]["state"], "TASK_STATE_COMPLETED");
  EXPECT_EQ(document["status"]["message"]["parts"][0]["text"], body);
  EXPECT_EQ(document["artifacts"][0]["parts"][0]["text"], body);
  EXPECT_EQ(document["metadata"]["tessikReplySenderAgent"], "Peer Agent");
  // The other task is untouched.
  EXPECT_EQ(latest("t-2").state, kTaskStateWorking);
}

TEST_F(TaskRepliesTest, RepliesThatMatchNoOpenTaskChangeNothing) {
  append_task_record(log, test::stored_task("t-1", "client-a", "2026-01-01T00:00:00Z"));
  append_task_record(log, test::stored_task("t-done", "client-a", "2026-01-01T00:00:00Z",
                                            kTaskStateCanceled));
  TaskRecord continued = test::stored_task("t-next", "client-a", "2026-01-01T00:00:00Z");
  append_task_record(log, continued);
  continued.message_id = "msg-later";  // a follow-up message superseded the first one
  append_task_record(log, continued);
  const std::string before = test::read_file(log);

  EXPECT_EQ(record_task_reply(log, reply_to("msg-unknown")).status, TaskReplyStatus::no_task);
  EXPECT_EQ(record_task_reply(log, reply_to("")).status, TaskReplyStatus::no_task);
  EXPECT_EQ(record_task_reply(log, reply_to("msg-t-next")).status, TaskReplyStatus::no_task);
  const TaskReplyResult ended = record_task_reply(log, reply_to("msg-t-done"));
  EXPECT_EQ(ended.status, TaskReplyStatus::already_terminal);
  EXPECT_EQ(ended.task->id, "t-done");
  EXPECT_EQ(test::read_file(log), before);

  // The first reply wins: a second one to a completed task leaves the first in place.
  ASSERT_EQ(record_task_reply(log, reply_to("msg-t-1", "first")).status,
            TaskReplyStatus::completed);
  EXPECT_EQ(record_task_reply(log, reply_to("msg-t-1", "second")).status,
            TaskReplyStatus::already_terminal);
  EXPECT_EQ(latest("t-1").reply_body, "first");
}

TEST_F(TaskRepliesTest, AReplyThatOvertakesItsSendsOutcomeIsKept) {
  TaskSendInput send = test::sample_send("m-1");
  send.task_id = "t-race";
  const TaskSendOutcome outcome = test::accepted_outcome();
  append_task_record(log, create_submitted_task(send, outcome.message_id));
  ASSERT_EQ(record_task_reply(log, reply_to(outcome.message_id)).status,
            TaskReplyStatus::completed);

  TaskRecord from_outcome = create_task_from_send(send, outcome);
  ASSERT_EQ(from_outcome.state, kTaskStateWorking);
  append_send_outcome_record(log, from_outcome);

  const TaskRecord stored = latest(from_outcome.id);
  EXPECT_EQ(task_to_json_v1(stored), task_to_json_v1(from_outcome));
  EXPECT_EQ(stored.state, kTaskStateCompleted);
  EXPECT_EQ(stored.reply_body, "the answer");
  std::vector<std::string> codes;
  for (const TaskEvent& event : stored.events)
    codes.push_back(event.code);
  EXPECT_EQ(codes, (std::vector<std::string>{"submitted", "routed_to_tessik",
                                             "accepted_by_tessik", "reply_received"}));

  // Without a reply, the outcome is stored as it is.
  send.task_id = "t-other";
  TaskRecord other = create_task_from_send(send, outcome);
  append_send_outcome_record(log, other);
  EXPECT_EQ(latest(other.id).state, kTaskStateWorking);
}

// The whole road in process: a message through the pipeline carries the operation of a stored
// task's message, and the observer completes that task.
class ReplyObserverTest : public ::testing::Test {
 protected:
  test::TempEnv env;
  std::filesystem::path tmp = test::use_delivery_executable(
      env, std::string(TESSIK_HELPER_DIR) + "/fake_delivery_worker");
  std::filesystem::path log = a2a_directory() / "tasks.jsonl";

  void SetUp() override {
    test::write_registry(agents_registry_path(),
                         {test::ready_row("agent-peer", "Peer Agent", "claude_code_cli",
                                          "claude_code_cli:session:peer-1")});
    append_task_record(log, test::stored_task("t-1", "client-a", "2026-01-01T00:00:00Z"));
  }

  SendOutcome send(const std::string& source_context, const std::string& target = "mailbox") {
    const PipelineContext context = reply_completing_pipeline_context();
    SendRequest request;
    request.target = target;
    request.from = "claude_code_cli:session:peer-1";
    request.body = "reply text";
    request.source_context = source_context;
    return send_message(context, request);
  }
};

TEST_F(ReplyObserverTest, AnAcceptedReplyCompletesTheTaskOfItsOperation) {
  const SendOutcome outcome = send("tessik-operation:msg-t-1");
  ASSERT_TRUE(outcome.accepted) << outcome.error;
  const TaskRecord task = parse_task_record(*find_latest_task_line(log, "t-1")).value();
  EXPECT_EQ(task.state, kTaskStateCompleted);
  EXPECT_EQ(task.reply_body, "reply text");
  EXPECT_EQ(task.reply_message_id, outcome.message_id);
  EXPECT_EQ(task.reply_sender_agent, "Peer Agent");
  const auto completed = test::read_events(events_log_path(), "a2a_task_reply_completed");
  ASSERT_EQ(completed.size(), 1u);
  EXPECT_EQ(completed[0]["task_id"], "t-1");
  EXPECT_EQ(completed[0]["answered_message_id"], "msg-t-1");
}

TEST_F(ReplyObserverTest, OtherSendsLeaveTasksAlone) {
  const std::string before = test::read_file(log);
  ASSERT_TRUE(send("cli").accepted);
  ASSERT_TRUE(send("tessik-operation:msg-unknown").accepted);
  // A refused reply completes nothing, even when it names a real operation.
  EXPECT_FALSE(send("tessik-operation:msg-t-1", "Nobody Registered").accepted);
  EXPECT_EQ(test::read_file(log), before);
  const auto ignored = test::read_events(events_log_path(), "a2a_task_reply_not_applied");
  ASSERT_EQ(ignored.size(), 1u);
  EXPECT_EQ(ignored[0]["result"], "no_task_for_operation");
}

}  // namespace
}  // namespace tessik
