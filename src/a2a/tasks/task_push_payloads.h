// The update documents pushed to a task's callbacks, and the one seam through which task
// changes reach push delivery.
#pragma once

#include <string>
#include <vector>

#include "a2a/gateway/gateway_context.h"
#include "a2a/tasks/task_record.h"

namespace tessik {

// In order: the task snapshot {"task": full 1.0 document}, the status update
// {"statusUpdate": ...}, and — only when the task has a reply — the artifact update
// {"artifactUpdate": ...}. Written as text with a fixed key order; never fails.
std::vector<std::string> build_task_push_payloads(const TaskRecord& task);

// Hands a new or changed task to push delivery. Every place that stores a task change which
// clients may follow (a send, a cancellation) calls this once after the append. Push
// delivery is not built yet: until it is, nothing is queued and nothing is sent.
void trigger_task_push_delivery(const GatewayContext& context, const TaskRecord& task);

}  // namespace tessik
