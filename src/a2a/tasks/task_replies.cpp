// A reply completes the task of the message it answers. The lookup reads the log twice (the
// task ids that carried the message, then each id's latest record) because the answered
// message must still be the task's current one; both reads and the append happen under the
// task log lock, against the broker storing a send's outcome at the same moment.
#include "a2a/tasks/task_replies.h"

#include <exception>
#include <set>
#include <utility>

#include "a2a/gateway/gateway_context.h"
#include "a2a/tasks/log_scan/task_index.h"
#include "a2a/tasks/task_json.h"
#include "a2a/tasks/task_log.h"
#include "a2a/tasks/task_push_payloads.h"
#include "base/text.h"
#include "pipeline/send_pipeline.h"
#include "registry/sender_resolution.h"

namespace tessik {
namespace {

constexpr std::string_view kPrefix = kReplyOperationPrefix;

bool has_reply(const TaskRecord& task) {
  for (const TaskEvent& event : task.events) {
    if (event.code == kReplyReceivedCode) return true;
  }
  return false;
}

// Ids of the tasks that have a record whose message id is `message_id`, in log order.
std::vector<std::string> tasks_carrying(const std::filesystem::path& log_path,
                                        const std::string& message_id) {
  std::vector<std::string> ids;
  std::set<std::string> seen;
  for_each_task_log_line(log_path, [&](std::string_view line, std::uint64_t) {
    // The stored id is escaped JSON text; a line can only carry it when its text appears or
    // the line spells something with escapes.
    if (line.find(message_id) == std::string_view::npos &&
        line.find('\\') == std::string_view::npos) {
      return;
    }
    const std::optional<TaskRecord> task = parse_task_record(line);
    if (task && task->message_id == message_id && seen.insert(task->id).second) {
      ids.push_back(task->id);
    }
  });
  return ids;
}

std::optional<TaskRecord> latest_record(const std::filesystem::path& log_path,
                                        std::string_view task_id) {
  const std::optional<std::string> line = find_latest_task_line(log_path, task_id);
  if (!line) return std::nullopt;
  return parse_task_record(*line);
}

const char* status_word(TaskReplyStatus status) {
  switch (status) {
    case TaskReplyStatus::completed:
      return "completed";
    case TaskReplyStatus::already_terminal:
      return "task_already_terminal";
    case TaskReplyStatus::no_task:
      return "no_task_for_operation";
  }
  return "no_task_for_operation";
}

}  // namespace

std::string replied_message_id(std::string_view source_context) {
  const std::string_view text = trim_view(source_context);
  if (text.size() < kPrefix.size() || ascii_lower(text.substr(0, kPrefix.size())) != kPrefix) {
    return "";
  }
  return trim(text.substr(kPrefix.size()));
}

std::string task_reply_text(std::string_view body, std::string_view reply_message_id) {
  if (body.size() <= kMaxTaskReplyBytes) return std::string(body);
  std::size_t cut = kMaxTaskReplyBytes;
  // Back off continuation bytes so the kept text ends on a whole character.
  while (cut > 0 && (static_cast<unsigned char>(body[cut]) & 0xC0) == 0x80)
    --cut;
  return std::string(body.substr(0, cut)) + "\n\n[Tessik kept the first " + std::to_string(cut) +
         " of " + std::to_string(body.size()) + " bytes of this reply here; message " +
         std::string(trim_view(reply_message_id)) + " carried all of it.]";
}

void apply_task_reply(TaskRecord& task, const TaskReply& reply) {
  task.reply_body = task_reply_text(reply.body, reply.message_id);
  task.reply_message_id = trim(reply.message_id);
  task.reply_sender_agent = trim(reply.sender_agent);
  task.reply_sender_node = trim(reply.sender_node);
  if (task.reply_sender_node.empty()) task.reply_sender_node = "local";
  task.state = kTaskStateCompleted;
  task.error_code.clear();
  task.error_message.clear();
  add_task_event(task, kTaskStateCompleted, kReplyReceivedCode,
                 "Reply received from " + task.reply_sender_agent + ".");
}

TaskReplyResult record_task_reply(const std::filesystem::path& log_path, const TaskReply& reply) {
  TaskReplyResult result;
  const std::string answered = trim(reply.answered_message_id);
  if (answered.empty()) return result;
  const TaskLogLock lock(log_path);
  for (const std::string& id : tasks_carrying(log_path, answered)) {
    std::optional<TaskRecord> task = latest_record(log_path, id);
    if (!task || task->message_id != answered) continue;
    if (is_terminal_task_state(task->state)) {
      result.status = TaskReplyStatus::already_terminal;
      result.task = std::move(task);
      continue;
    }
    apply_task_reply(*task, reply);
    append_task_record(log_path, *task);
    result.status = TaskReplyStatus::completed;
    result.task = std::move(task);
    return result;
  }
  return result;
}

void append_send_outcome_record(const std::filesystem::path& log_path, TaskRecord& task) {
  const TaskLogLock lock(log_path);
  if (!has_reply(task)) {
    // Only the broker writes outcomes: its index of the log spares a read of the whole log.
    const std::optional<std::string> line = find_latest_task_line_indexed(log_path, task.id);
    const std::optional<TaskRecord> latest =
        line ? parse_task_record(*line) : std::optional<TaskRecord>();
    if (latest && has_reply(*latest) && latest->message_id == task.message_id) {
      task.reply_body = latest->reply_body;
      task.reply_message_id = latest->reply_message_id;
      task.reply_sender_agent = latest->reply_sender_agent;
      task.reply_sender_node = latest->reply_sender_node;
      task.state = kTaskStateCompleted;
      task.error_code.clear();
      task.error_message.clear();
      for (const TaskEvent& event : latest->events) {
        if (event.code == kReplyReceivedCode) task.events.push_back(event);
      }
      task.timestamp = task.events.back().timestamp;
    }
  }
  append_task_record(log_path, task);
}

AcceptedSendObserver task_reply_observer(std::filesystem::path log_path, EvidenceLog events) {
  return [log_path = std::move(log_path), events = std::move(events)](
             const SendRequest& request, const SendOutcome& outcome,
             const SenderResolution& sender) {
    TaskReply reply;
    reply.answered_message_id = replied_message_id(request.source_context);
    if (reply.answered_message_id.empty()) return;
    reply.body = request.body;
    reply.message_id = outcome.message_id;
    reply.sender_agent = sender.sender;
    reply.sender_node = sender.node_id;
    try {
      const TaskReplyResult result = record_task_reply(log_path, reply);
      const std::string task_id = result.task ? result.task->id : std::string();
      events.append(result.status == TaskReplyStatus::completed ? "a2a_task_reply_completed"
                                                                : "a2a_task_reply_not_applied",
                    {{"message_id", outcome.message_id},
                     {"answered_message_id", reply.answered_message_id},
                     {"task_id", task_id},
                     {"result", status_word(result.status)}});
      if (result.status == TaskReplyStatus::completed) {
        GatewayContext context;
        context.tasks_path = log_path;
        trigger_task_push_delivery(context, *result.task);
      }
    } catch (const std::exception& failure) {
      events.append("a2a_task_reply_failed", {{"message_id", outcome.message_id},
                                              {"answered_message_id", reply.answered_message_id},
                                              {"reason", failure.what()}});
    }
  };
}

PipelineContext reply_completing_pipeline_context() {
  PipelineContext context = default_pipeline_context();
  context.after_accepted = task_reply_observer(task_log_path(GatewayContext{}), context.events);
  return context;
}

}  // namespace tessik
