// Queueing a task's updates and the bounded delivery run that posts them.
#include "a2a/push/push_delivery.h"

#include <chrono>
#include <map>

#include "a2a/push/push_config_store.h"
#include "a2a/push/push_policy.h"
#include "a2a/push/push_url.h"
#include "a2a/tasks/task_log.h"
#include "a2a/tasks/task_push_payloads.h"
#include "base/sha256.h"
#include "base/text.h"

namespace tessik {
namespace {

constexpr char kMissingConfig[] = "push notification config is missing or deleted";

std::int64_t now_epoch_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::int32_t max_attempts_setting(const GatewayContext& context) {
  return context.push_max_attempts < 2 ? 1 : static_cast<std::int32_t>(context.push_max_attempts);
}

// Appends are best effort: a file that cannot be written must not fail the request.
void append_quietly(const std::filesystem::path& path, const std::string& line) {
  try {
    append_json_line(path, line);
  } catch (const std::exception&) {
  }
}

// The configurations of each task met in one run, read once.
class ConfigCache {
 public:
  explicit ConfigCache(std::filesystem::path log) : log_(std::move(log)) {}
  const PushConfig* find(const std::string& task_id, const std::string& config_id) {
    auto it = by_task_.find(task_id);
    if (it == by_task_.end())
      it = by_task_.emplace(task_id, read_task_push_configs(log_, task_id)).first;
    for (const PushConfig& config : it->second) {
      if (config.id == config_id) return &config;
    }
    return nullptr;
  }

 private:
  std::filesystem::path log_;
  std::map<std::string, std::vector<PushConfig>> by_task_;
};

HttpHeaders callback_headers(const PushConfig& config, const std::string& delivery_id) {
  HttpHeaders headers;
  const PushAuthentication auth = read_push_authentication(config.authentication);
  const std::string scheme = trim(auth.scheme);
  const std::string credentials = trim(auth.credentials);
  if (!scheme.empty() && !credentials.empty())
    headers["Authorization"] = scheme + " " + credentials;
  headers["Idempotency-Key"] = delivery_id;
  headers["X-Tessik-Push-Delivery-Id"] = delivery_id;
  return headers;
}

HttpResponse post_callback(const GatewayContext& context, const PushConfig& config,
                           const PushDelivery& delivery, const A2aDnsResolveResult& approved) {
  const HttpHeaders headers = callback_headers(config, delivery.delivery_id);
  try {
    if (context.push_sender) return context.push_sender(config.url, delivery.payload_json, headers);
    HttpRequestOptions options;
    options.no_proxy = true;
    options.disable_redirects = true;
    if (!approved.addresses.empty()) {
      options.require_approved_remote_address = true;
      options.approved_addresses = approved.addresses;
    }
    return http_post(config.url, delivery.payload_json, headers, "application/a2a+json", options);
  } catch (const std::exception& error) {
    HttpResponse failed;
    const std::string what = error.what();
    failed.error =
        what.empty() ? "push notification post failed" : "push notification post failed: " + what;
    return failed;
  }
}

struct RunState {
  const GatewayContext& context;
  PushQueuePaths paths;
  ConfigCache configs;
  PushRunSummary summary;
};

// Records the attempt in the queue and the logs and counts it.
void record_attempt(RunState& run, const PushDelivery& delivery, const std::string& outcome,
                    const std::string& next_retry_after) {
  const std::string now = utc_timestamp_now();
  append_quietly(run.paths.pending, push_queue_line(delivery, now));
  const std::string line = push_attempt_line(delivery, now, outcome, next_retry_after);
  append_quietly(run.paths.delivery, line);
  if (outcome == "dead_letter") append_quietly(run.paths.dead_letter, line);
  ++run.summary.attempted;
  if (outcome == "delivered") ++run.summary.delivered;
  if (outcome == "retry_scheduled") ++run.summary.retry_scheduled;
  if (outcome == "dead_letter") ++run.summary.dead_lettered;
}

void dead_letter_now(RunState& run, PushDelivery delivery, std::string error) {
  delivery.attempt += 1;
  delivery.state = "dead_letter";
  delivery.error = std::move(error);
  record_attempt(run, delivery, "dead_letter", "");
}

void attempt_delivery(RunState& run, PushDelivery delivery, std::int64_t now) {
  const PushConfig* config = run.configs.find(delivery.task_id, delivery.config_id);
  if (config == nullptr) return dead_letter_now(run, std::move(delivery), kMissingConfig);
  if (auto message = validate_push_config(*config))
    return dead_letter_now(run, std::move(delivery), *message);
  const A2aDnsResolveResult approved = check_push_delivery_policy(*config, run.context);
  if (!approved.error.empty()) return dead_letter_now(run, std::move(delivery), approved.error);

  const HttpResponse response = post_callback(run.context, *config, delivery, approved);
  delivery.attempt += 1;
  delivery.max_attempts = std::max(delivery.max_attempts, 1);
  delivery.status_code = static_cast<std::int32_t>(response.status_code);
  delivery.error = response.error;
  const bool success =
      response.status_code >= 200 && response.status_code <= 299 && response.error.empty();
  if (success) {
    delivery.state = "delivered";
    return record_attempt(run, delivery, "delivered", "");
  }
  if (delivery.attempt >= delivery.max_attempts) {
    delivery.state = "dead_letter";
    return record_attempt(run, delivery, "dead_letter", "");
  }
  const std::uint32_t delay = run.context.push_retry_delay_ms;
  delivery.state = "pending";
  delivery.due_at_epoch_ms = now + delay;
  record_attempt(run, delivery, "retry_scheduled", std::to_string(delay) + "ms");
}

}  // namespace

PushRunSummary enqueue_task_push(const GatewayContext& context, const TaskRecord& task) {
  const std::vector<PushConfig> configs =
      read_task_push_configs(push_config_log_path(context), task.id);
  const PushQueuePaths paths = push_queue_paths(context);
  std::set<std::string> queued_now;
  if (!configs.empty()) {
    const std::vector<std::string> payloads = build_task_push_payloads(task);
    const std::int64_t now = now_epoch_ms();
    std::vector<PushDelivery> fresh;
    std::set<std::string> candidate_ids;
    for (const PushConfig& config : configs) {
      for (const std::string& payload : payloads) {
        PushDelivery delivery;
        delivery.delivery_id = push_delivery_id(task.id, config.id, payload);
        delivery.task_id = task.id;
        delivery.config_id = config.id;
        delivery.callback = redact_callback_url(config.url);
        delivery.payload_json = payload;
        delivery.payload_sha256 = sha256_hex(payload);
        delivery.max_attempts = max_attempts_setting(context);
        delivery.due_at_epoch_ms = now;
        candidate_ids.insert(delivery.delivery_id);
        fresh.push_back(std::move(delivery));
      }
    }
    std::set<std::string> known;
    for (const PushDelivery& record : read_push_queue(paths.pending, candidate_ids))
      known.insert(record.delivery_id);
    const std::string updated_at = utc_timestamp_now();
    for (const PushDelivery& delivery : fresh) {
      if (known.contains(delivery.delivery_id) || queued_now.contains(delivery.delivery_id))
        continue;
      append_quietly(paths.pending, push_queue_line(delivery, updated_at));
      queued_now.insert(delivery.delivery_id);
    }
  }
  return run_push_deliveries(context, static_cast<int>(context.push_deliveries_per_run),
                             queued_now);
}

PushRunSummary run_push_deliveries(const GatewayContext& context, int limit,
                                   const std::set<std::string>& ids) {
  if (limit < 1) return {};
  RunState run{context, push_queue_paths(context), ConfigCache(push_config_log_path(context)), {}};
  const std::int64_t now = now_epoch_ms();
  for (PushDelivery& record : read_push_queue(run.paths.pending, ids, true)) {
    if (run.summary.attempted >= limit) break;
    if (ascii_lower(trim(record.state)) != "pending") continue;
    if (record.due_at_epoch_ms > now) continue;
    attempt_delivery(run, std::move(record), now);
  }
  return run.summary;
}

void trigger_task_push_delivery(const GatewayContext& context, const TaskRecord& task) {
  try {
    enqueue_task_push(context, task);
  } catch (const std::exception&) {
    // Push delivery never changes the answer of the request that changed the task.
  }
}

}  // namespace tessik
