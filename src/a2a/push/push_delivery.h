// The push delivery queue: every (configuration, update document) pair of a task becomes a
// PushDelivery in an append-only queue file, and a bounded run posts the due ones to their
// callbacks, retries failures after a fixed delay and dead-letters what cannot be delivered.
// Each change appends a complete record (the last line of a delivery id wins), and every
// attempt adds a line to the delivery log (and to the dead-letter log when final). Runs on
// the request's thread; no lock. Nothing here throws to the caller: write failures are
// passed over and network failures become the record's error. Callback URLs, tokens and
// credentials never reach these files; a callback appears only in its redacted form.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "a2a/gateway/gateway_context.h"
#include "a2a/tasks/task_record.h"

namespace tessik {

struct PushDelivery {
  std::string delivery_id;
  std::string task_id;
  std::string config_id;
  std::string callback;  // redacted
  std::string payload_json;
  std::string payload_sha256;
  std::string state = "pending";  // "pending", "delivered" or "dead_letter"
  std::int32_t attempt = 0;
  std::int32_t max_attempts = 1;
  std::int64_t due_at_epoch_ms = 0;
  std::int32_t status_code = 0;
  std::string error;

  bool operator==(const PushDelivery&) const = default;
};

struct PushRunSummary {
  int attempted = 0;
  int delivered = 0;
  int retry_scheduled = 0;
  int dead_lettered = 0;
};

// The three files of a request: the context's paths, or their names in the state
// directory's "a2a" folder when the context leaves them empty.
struct PushQueuePaths {
  std::filesystem::path pending;
  std::filesystem::path delivery;
  std::filesystem::path dead_letter;
};
PushQueuePaths push_queue_paths(const GatewayContext& context);

// Lower-case hex SHA-256 of trimmed task id, LF, trimmed config id, LF, payload.
std::string push_delivery_id(std::string_view task_id, std::string_view config_id,
                             std::string_view payload);

// One queue line (no line break), keys in their fixed order, "updatedAt" = `updated_at`.
std::string push_queue_line(const PushDelivery& delivery, std::string_view updated_at);
// One delivery-log line for an attempt's `outcome`; "nextRetryAfter" only when non-empty.
std::string push_attempt_line(const PushDelivery& delivery, std::string_view created_at,
                              std::string_view outcome, std::string_view next_retry_after);

// The delivery id and state of a queue line in the layout push_queue_line writes, found
// without parsing the line; nothing for any other layout (the caller then parses it).
struct QueueLineKey {
  std::string delivery_id;
  std::string state;
};
std::optional<QueueLineKey> scan_queue_line_key(std::string_view line);

// One queue line read back; nothing for a line without delivery id, task id, config id and
// callback (or "url").
std::optional<PushDelivery> parse_push_queue_line(std::string_view line);

// The queue's records, the last line of each id winning, in the order of those last lines.
// A non-empty `only` reads just those delivery ids; `pending_only` leaves out ids whose last
// record is final, and reads through the process's follower of the file, which reads only the
// lines appended since its last look (the whole file at the first).
std::vector<PushDelivery> read_push_queue(const std::filesystem::path& path,
                                          const std::set<std::string>& only = {},
                                          bool pending_only = false);

// Queues every update document of `task` for each live configuration of the task (documents
// queued before are not queued again), then runs the deliveries queued now, or every due
// pending delivery when nothing new was queued.
PushRunSummary enqueue_task_push(const GatewayContext& context, const TaskRecord& task);

// Attempts up to `limit` due pending deliveries in queue order, only those in `ids` when it
// is not empty.
PushRunSummary run_push_deliveries(const GatewayContext& context, int limit,
                                   const std::set<std::string>& ids);

}  // namespace tessik
