// The task log side of outbound A2A sends. The client lives below the task store, so the
// executable connects the two here.
#include "app/external_send_tasks.h"

#include <exception>

#include "a2a/gateway/gateway_context.h"
#include "a2a/tasks/task_json.h"
#include "a2a/tasks/task_log.h"
#include "a2a/tasks/task_record.h"
#include "base/random.h"
#include "base/text.h"
#include "providers/external_a2a/external_send.h"

namespace tessik {
namespace {

TaskRecord task_record_of(const ExternalSendTask& send) {
  TaskRecord task;
  task.id = random_uuid();
  task.context_id = task.id;
  task.target_agent = send.target_agent;
  task.target_provider = send.target_provider;
  task.target_provider_session_id = send.target_provider_session_id;
  task.requester_agent = send.requester_agent;
  task.requester_node = send.requester_node;
  task.message_id = send.message_id;
  task.state = send.state;
  task.error_code = send.error_code;
  task.error_message = send.error_message;
  task.history =
      "[" +
      build_message_json(send.message_id, task.context_id, task.id, "ROLE_USER", send.body, false) +
      "]";
  for (const ExternalSendEvent& event : send.events) {
    add_task_event(task, event.state, event.code, event.message);
  }
  return task;
}

}  // namespace

void record_external_sends_as_tasks() {
  set_external_send_task_sink([](const ExternalSendTask& send) {
    try {
      append_task_record(task_log_path(GatewayContext{}), task_record_of(send));
    } catch (const std::exception&) {
      // The delivery result and the worker's stage records still tell what happened.
    }
  });
}

}  // namespace tessik
