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

// Hands a new or changed task to push delivery (enqueue_task_push, defined with the queue in
// a2a/push/). Every place that stores a task change which clients may follow (a send, a
// continuation, a cancellation, a reply) calls this once after the append. It posts the
// callbacks before it returns, bounded by the per-run limit and the HTTP client's time-outs,
// and never throws.
void trigger_task_push_delivery(const GatewayContext& context, const TaskRecord& task);

}  // namespace tessik
