// Replies complete their tasks: a message sent with the source context
// "tessik-operation:<message id>" answers that message, and the A2A task that carried it
// records the answer and completes, so that the client that sent the message reads the reply
// with GetTask.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "a2a/tasks/task_record.h"
#include "pipeline/pipeline_context.h"
#include "state/evidence_log.h"

namespace tessik {

inline constexpr char kReplyOperationPrefix[] = "tessik-operation:";
inline constexpr char kReplyReceivedCode[] = "reply_received";

// The message id a source context answers: the trimmed text after "tessik-operation:"
// (the prefix in any case, blanks around the whole allowed); empty when it names none.
std::string replied_message_id(std::string_view source_context);

// One reply, as the send that carried it knows it.
struct TaskReply {
  std::string answered_message_id;  // the message the reply answers
  std::string body;                 // the reply as its sender wrote it
  std::string message_id;           // the reply's own message id
  std::string sender_agent;         // who replied, as the pipeline resolved the sender
  std::string sender_node;          // "local" when blank
};

// The most reply text a task keeps. Every task document repeats the reply four times (status
// message, metadata, history, artifact), escaped, inside a broker frame of at most 8 MiB; a
// longer reply would leave the task unreadable. The whole reply still reaches its recipient.
inline constexpr std::size_t kMaxTaskReplyBytes = 128 * 1024;

// The reply text a task keeps: `body` itself when it fits kMaxTaskReplyBytes, else its
// longest prefix of whole UTF-8 characters within that bound followed by a note that names
// both sizes and the message that carried the whole reply.
std::string task_reply_text(std::string_view body, std::string_view reply_message_id);

// Records `reply` on `task`: the reply fields (the body through task_reply_text), state
// COMPLETED and a "reply_received" event.
void apply_task_reply(TaskRecord& task, const TaskReply& reply);

enum class TaskReplyStatus {
  completed,         // the task recorded the reply and completed
  already_terminal,  // the task had ended (completed, failed, canceled, rejected): unchanged
  no_task,           // no task's current message is the answered one: nothing changed
};

struct TaskReplyResult {
  TaskReplyStatus status = TaskReplyStatus::no_task;
  std::optional<TaskRecord> task;  // the stored task: the new record when completed
};

// Finds the task whose latest record carries the answered message id and, unless it has
// ended, appends it completed with the reply. Holds the task log lock from the lookup to the
// append. A reply to a message that a later message of the same task superseded matches no
// task. Throws TaskLogWriteError or std::filesystem::filesystem_error when the log cannot be
// locked or written.
TaskReplyResult record_task_reply(const std::filesystem::path& log_path, const TaskReply& reply);

// Appends the record a send's outcome makes (`task`, updated in place). A reply can complete
// the task while its send is still running, before this record is written; the reply is then
// carried over so that the outcome does not reopen the task. Holds the task log lock; throws
// like append_task_record.
void append_send_outcome_record(const std::filesystem::path& log_path, TaskRecord& task);

// The pipeline observer that records every accepted reply on its task in `log_path` and
// hands a completed task to push delivery. Each decision is an event in `events`
// ("a2a_task_reply_completed", "a2a_task_reply_not_applied"); a failure to lock or write the
// log becomes the event "a2a_task_reply_failed" rather than an exception, because the reply
// itself has been accepted and handed off by then.
AcceptedSendObserver task_reply_observer(std::filesystem::path log_path, EvidenceLog events);

// The pipeline context of the current state directory whose accepted replies complete the
// tasks of its task log: what every sender outside the broker (the CLI, the MCP server) uses.
// Throws StateDirectoryError when the state directory cannot be resolved.
PipelineContext reply_completing_pipeline_context();

}  // namespace tessik
