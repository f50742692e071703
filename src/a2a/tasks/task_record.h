// The task record: who sent what to which agent, what delivery made of it, its history and
// events; how a record is made from a send; and the task states with their wire names.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "registry/agent_record.h"

namespace tessik {

// One timestamped step of a task. `state` is always the 1.0 state name.
struct TaskEvent {
  std::string timestamp;  // UTC "%Y-%m-%dT%H:%M:%SZ"
  std::string state;
  std::string code;  // a short status word ("submitted") or an error code
  std::string message;

  bool operator==(const TaskEvent&) const = default;
};

// A task as stored: one line of the task log. Plain value; absent values are empty texts.
struct TaskRecord {
  std::string id;
  std::string context_id;  // never empty once stored (defaults to the id)
  std::string target_agent;
  std::string target_provider;
  std::string target_provider_session_id;
  std::string requester_client_id;
  std::string requester_agent;
  std::string requester_node;  // "local" when empty
  std::string state;           // 1.0 name, e.g. "TASK_STATE_WORKING"
  std::string timestamp;       // time of the last change
  std::string message_id;
  std::string error_code;
  std::string error_message;
  std::string reply_body;
  std::string reply_message_id;
  std::string reply_sender_agent;
  std::string reply_sender_node;  // "local" when empty
  std::string operation;
  std::string created_agent_id;
  std::string created_agent_card_url;
  std::string created_agent_endpoint_url;
  std::string history;  // the text of one JSON array of 1.0 message objects
  std::vector<TaskEvent> events;

  bool operator==(const TaskRecord&) const = default;
};

inline constexpr char kTaskStateSubmitted[] = "TASK_STATE_SUBMITTED";
inline constexpr char kTaskStateWorking[] = "TASK_STATE_WORKING";
inline constexpr char kTaskStateCompleted[] = "TASK_STATE_COMPLETED";
inline constexpr char kTaskStateFailed[] = "TASK_STATE_FAILED";
inline constexpr char kTaskStateCanceled[] = "TASK_STATE_CANCELED";
inline constexpr char kTaskStateRejected[] = "TASK_STATE_REJECTED";
inline constexpr char kTaskStateInputRequired[] = "TASK_STATE_INPUT_REQUIRED";

// What a task needs from the send that made it. Intake fills it from the request it
// extracted (task id, context id, message id, text), the target it chose, the sender identity
// it applied, and — for a follow-up — the stored history that check_task_continuation handed
// back. `target_id` is the public agent id the send named; `target_agent` the registry name.
struct TaskSendInput {
  std::string task_id;
  std::string context_id;
  std::string message_id;
  std::string target_id;
  std::string target_agent;
  std::string requester_client_id;
  std::string requester_agent;
  std::string requester_node;
  std::string text;
  std::string history;  // prior "history" text of the continued task; empty for a new task
};

// The message pipeline's answer, as far as a task reads it. Field names and meanings are
// those of the pipeline's send outcome, so converting one is a field-by-field copy.
struct TaskSendOutcome {
  std::string message_id;
  std::string status;  // "failed", "accepted_by_tessik", "accepted_by_live_upstream_relay"
  std::string provider;
  std::string detail;
  std::string error;
  bool accepted = false;
  bool accepted_by_provider = false;
};

inline constexpr char kTckCompletedReply[] = "TCK task completed by Tessik A2A gateway.";

// True for the completed, failed, canceled (either spelling) and rejected states, in their
// 1.0 or bare form, ignoring case and surrounding blanks.
bool is_terminal_task_state(std::string_view state);

// The state as a client of the given protocol sees it: unchanged for 1.0; for 0.3 lower-case
// without the "task_state_" prefix and with "-" for "_" ("input-required").
std::string task_state_wire_name(std::string_view state, bool v03);

// Appends an event stamped now and sets the task's timestamp to the same instant.
void add_task_event(TaskRecord& task, std::string_view state, std::string_view code,
                    std::string_view message);

// The registry name a task records for an agent: its display name, else its agent id.
std::string agent_registry_name(const AgentRecord& agent);

// Builds the task for a send the pipeline has answered: a fresh random id when the send has
// none, the state from the outcome (with the "tck-complete-task-" / "tck-input-required-"
// message-id overrides of the conformance suite on an accepted send), three events and the
// history extended by the user message. `target`, when given, names the agent, its provider
// and provider session.
TaskRecord create_task_from_send(const TaskSendInput& send, const TaskSendOutcome& outcome,
                                 const std::optional<AgentRecord>& target = std::nullopt);

// A send refused by intake after it was read (no sender, no target, no text, unknown target):
// state REJECTED with the refusal's code and message and two events, history holding the
// user message.
TaskRecord create_rejected_task(const TaskSendInput& send, std::string_view error_code,
                                std::string_view error_message);

// The record stored before a send is handed to the message pipeline: state SUBMITTED, the one
// "submitted" event, the history with the user message and the message id the pipeline will
// use. The record made from the outcome replaces it (the last record of an id is the task);
// when none follows, the next broker start settles it with the two functions below.
TaskRecord create_submitted_task(const TaskSendInput& send, std::string_view message_id,
                                 const std::optional<AgentRecord>& target = std::nullopt);

// A submitted task whose send was interrupted after a delivery worker took the message:
// WORKING, with a "routed_to_tessik" and a "recovered_after_restart" event.
TaskRecord recover_task_as_taken(TaskRecord submitted);

// A submitted task whose send ended before any delivery worker took the message: FAILED with
// "TESSIK_DELIVERY_FAILED", `reason` as its error message and an event saying so.
TaskRecord fail_submitted_task(TaskRecord submitted, std::string_view reason);

// The reason fail_submitted_task records for a send that a broker stop interrupted.
inline constexpr char kInterruptedSendReason[] =
    "Tessik stopped during the send before a delivery worker took the message.";

// The local error code a failed or refused outcome leaves on its task; empty when accepted.
std::string task_error_code_for_outcome(const TaskSendOutcome& outcome);

}  // namespace tessik
