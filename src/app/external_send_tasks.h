// Records outbound A2A sends made in this process as tasks in the user's task log.
#pragma once

namespace tessik {

// Installs the external A2A client's task sink: every outbound send becomes one task record
// (a new task id, the send's events) appended to "a2a/tasks.jsonl" of the state directory.
// A task log that cannot be written is ignored: the send's own result still stands. Call
// once, before deliveries start.
void record_external_sends_as_tasks();

}  // namespace tessik
