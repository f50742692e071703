// Making task records from sends: ids, states, overrides, events, history; state names.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <regex>

#include "a2a/tasks/task_json.h"
#include "a2a/tasks/task_record.h"
#include "support/task_fixtures.h"

namespace tessik {
namespace {

using test::accepted_outcome;
using test::mailbox_agent;
using test::sample_send;

TEST(TaskRecordTest, NewSendGetsRandomIdAndContextDefaultsToIt) {
  const TaskRecord first = create_task_from_send(sample_send(), accepted_outcome());
  const TaskRecord second = create_task_from_send(sample_send(), accepted_outcome());
  EXPECT_TRUE(std::regex_match(first.id, std::regex("[0-9a-f]{32}"))) << first.id;
  EXPECT_NE(first.id, second.id);
  EXPECT_EQ(first.context_id, first.id);
  EXPECT_EQ(first.state, kTaskStateWorking);
  EXPECT_EQ(first.message_id, "0123456789abcdef0123456789abcdef");
  EXPECT_TRUE(first.error_code.empty());
}

TEST(TaskRecordTest, GivenIdsAreTrimmedAndTargetComesFromTheAgentRow) {
  TaskSendInput send = sample_send();
  send.task_id = "  task-7 ";
  send.context_id = " ctx-7\t";
  send.target_agent = "mailbox";
  send.requester_node = "  ";
  const TaskRecord task = create_task_from_send(send, accepted_outcome(), mailbox_agent());
  EXPECT_EQ(task.id, "task-7");
  EXPECT_EQ(task.context_id, "ctx-7");
  EXPECT_EQ(task.target_agent, "Tessik Mailbox");
  EXPECT_EQ(task.target_provider, "tessik_mailbox");
  EXPECT_EQ(task.target_provider_session_id, "tessik_mailbox:default");
  EXPECT_EQ(task.requester_node, "local");
  EXPECT_EQ(task.requester_client_id, "client-a");
  EXPECT_EQ(task.requester_agent, "alice");
}

TEST(TaskRecordTest, OutcomeDecidesStateErrorCodeAndLastEvent) {
  struct Case {
    TaskSendOutcome outcome;
    std::string state, error_code, event_code, event_message;
  };
  TaskSendOutcome by_provider = accepted_outcome();
  by_provider.status = "accepted_by_live_upstream_relay";
  by_provider.accepted_by_provider = true;
  by_provider.detail = "outbox=/x";
  TaskSendOutcome other_status = accepted_outcome();
  other_status.status = "queued";
  TaskSendOutcome no_target;
  no_target.status = "failed";
  no_target.error = " target agent was not found ";
  TaskSendOutcome no_sender;
  no_sender.error = "sender could not be resolved";
  TaskSendOutcome other_failure;
  other_failure.error = "Target rate limited";  // capital T: the search is case-sensitive
  const std::vector<Case> cases = {
      {accepted_outcome(), kTaskStateWorking, "", "accepted_by_tessik", "tessik_receipt_only"},
      {by_provider, kTaskStateWorking, "", "accepted_by_provider", "outbox=/x"},
      {other_status, kTaskStateFailed, "TESSIK_DELIVERY_FAILED", "accepted_by_tessik",
       "tessik_receipt_only"},
      {no_target, kTaskStateFailed, "TESSIK_TARGET_NOT_FOUND", "rejected_by_tessik",
       "target agent was not found"},
      {no_sender, kTaskStateFailed, "TESSIK_SENDER_IDENTITY_REJECTED", "rejected_by_tessik",
       "sender could not be resolved"},
      {other_failure, kTaskStateFailed, "TESSIK_DELIVERY_FAILED", "rejected_by_tessik",
       "Target rate limited"},
  };
  for (const Case& c : cases) {
    const TaskRecord task = create_task_from_send(sample_send(), c.outcome);
    SCOPED_TRACE(c.outcome.error + "/" + c.outcome.status);
    EXPECT_EQ(task.state, c.state);
    EXPECT_EQ(task.error_code, c.error_code);
    EXPECT_EQ(task.error_message, c.outcome.error);
    ASSERT_EQ(task.events.size(), 3u);
    EXPECT_EQ(task.events[0], (TaskEvent{task.events[0].timestamp, kTaskStateSubmitted, "submitted",
                                         "A2A request entered Tessik gateway."}));
    EXPECT_EQ(task.events[1].code, "routed_to_tessik");
    EXPECT_EQ(task.events[1].message, "Request was converted to an Tessik send.");
    EXPECT_EQ(task.events[2].state, c.state);
    EXPECT_EQ(task.events[2].code, c.event_code);
    EXPECT_EQ(task.events[2].message, c.event_message);
    EXPECT_EQ(task.timestamp, task.events[2].timestamp);
  }
}

TEST(TaskRecordTest, ConformanceMessageIdsSteerOnlyAcceptedSends) {
  TaskSendOutcome failing_status = accepted_outcome();
  failing_status.status = "queued";  // accepted, but would be FAILED
  failing_status.error = "slow";
  const TaskRecord completed =
      create_task_from_send(sample_send("  TCK-Complete-Task-42 "), failing_status);
  EXPECT_EQ(completed.state, kTaskStateCompleted);
  EXPECT_TRUE(completed.error_code.empty());
  EXPECT_TRUE(completed.error_message.empty());
  EXPECT_EQ(completed.reply_body, "TCK task completed by Tessik A2A gateway.");
  EXPECT_EQ(completed.events.back().state, kTaskStateCompleted);

  const TaskRecord input =
      create_task_from_send(sample_send("tck-input-required-1"), accepted_outcome());
  EXPECT_EQ(input.state, kTaskStateInputRequired);
  EXPECT_TRUE(input.reply_body.empty());

  TaskSendOutcome refused;
  refused.error = "target missing";
  const TaskRecord untouched = create_task_from_send(sample_send("tck-complete-task-1"), refused);
  EXPECT_EQ(untouched.state, kTaskStateFailed);
  EXPECT_EQ(untouched.error_code, "TESSIK_TARGET_NOT_FOUND");
  EXPECT_TRUE(untouched.reply_body.empty());
}

TEST(TaskRecordTest, HistoryAppendsTheUserMessageToThePriorHistory) {
  TaskSendInput send = sample_send("m-1", "first \"quoted\"");
  send.task_id = "t1";
  const TaskRecord first = create_task_from_send(send, accepted_outcome());
  EXPECT_EQ(first.history,
            "[{\"messageId\":\"m-1\",\"contextId\":\"t1\",\"taskId\":\"t1\",\"role\":"
            "\"ROLE_USER\",\"parts\":[{\"text\":\"first \\\"quoted\\\"\"}]}]");

  TaskSendInput follow_up = sample_send("m-2", "second");
  follow_up.task_id = "t1";
  follow_up.history = "  " + first.history + " ";
  const TaskRecord second = create_task_from_send(follow_up, accepted_outcome());
  const nlohmann::json history = nlohmann::json::parse(second.history);
  ASSERT_EQ(history.size(), 2u);
  EXPECT_EQ(history[0]["messageId"], "m-1");
  EXPECT_EQ(history[1]["messageId"], "m-2");
  EXPECT_EQ(history[1]["parts"][0]["text"], "second");
}

TEST(TaskRecordTest, RejectedTaskHasTwoEventsAndTheRefusal) {
  TaskSendInput send = sample_send();
  send.requester_agent.clear();
  const TaskRecord task =
      create_rejected_task(send, "TESSIK_A2A_SENDER_REQUIRED",
                           "A2A gateway requires an authenticated or explicit sender identity.");
  EXPECT_EQ(task.state, kTaskStateRejected);
  EXPECT_EQ(task.error_code, "TESSIK_A2A_SENDER_REQUIRED");
  ASSERT_EQ(task.events.size(), 2u);
  EXPECT_EQ(task.events[0].code, "submitted");
  EXPECT_EQ(task.events[1].state, kTaskStateRejected);
  EXPECT_EQ(task.events[1].code, "TESSIK_A2A_SENDER_REQUIRED");
  EXPECT_TRUE(is_terminal_task_state(task.state));
}

TEST(TaskRecordTest, TerminalStatesAndWireNames) {
  for (const char* terminal : {"TASK_STATE_COMPLETED", " task_state_failed ", "Canceled",
                               "cancelled", "TASK_STATE_CANCELLED", "rejected"}) {
    EXPECT_TRUE(is_terminal_task_state(terminal)) << terminal;
  }
  for (const char* open : {"TASK_STATE_WORKING", "TASK_STATE_SUBMITTED",
                           "TASK_STATE_INPUT_REQUIRED", "", "complete"}) {
    EXPECT_FALSE(is_terminal_task_state(open)) << open;
  }
  EXPECT_EQ(task_state_wire_name("TASK_STATE_CANCELED", false), "TASK_STATE_CANCELED");
  EXPECT_EQ(task_state_wire_name("TASK_STATE_CANCELED", true), "canceled");
  EXPECT_EQ(task_state_wire_name(" TASK_STATE_INPUT_REQUIRED ", true), "input-required");
  EXPECT_EQ(task_state_wire_name("Working_Now", true), "working_now");
}

TEST(TaskRecordTest, AddTaskEventStampsTaskAndEventAlike) {
  TaskRecord task;
  task.timestamp = "2000-01-01T00:00:00Z";
  add_task_event(task, kTaskStateCanceled, "canceled_by_a2a_client", "why");
  ASSERT_EQ(task.events.size(), 1u);
  EXPECT_EQ(task.timestamp, task.events[0].timestamp);
  EXPECT_NE(task.timestamp, "2000-01-01T00:00:00Z");
  EXPECT_TRUE(
      std::regex_match(task.timestamp, std::regex("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ")));
}

}  // namespace
}  // namespace tessik
