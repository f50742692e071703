// Start-up recovery of interrupted sends. Request files are looked at before the delivery log:
// a worker writes its start record before it removes its file, so a file seen gone means its
// record is already there to be read.
#include "a2a/intake/send_recovery.h"

#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <string>

#include "a2a/tasks/task_json.h"
#include "a2a/tasks/task_log.h"
#include "pipeline/delivery_handoff.h"
#include "pipeline/delivery_request.h"
#include "pipeline/delivery_stage.h"
#include "platform/durable_file.h"

namespace tessik {
namespace fs = std::filesystem;
namespace {

// Stages after which the worker, not the broker, owns the message.
constexpr std::string_view kTakenStages[] = {"delivery_worker_handoff_started",
                                             "delivery_worker_started"};

// The message id a request file is named after (ids are hex, so the name holds them as is).
std::string message_id_of_request_file(const fs::path& path) {
  std::string name = path.filename().string();
  constexpr std::string_view kPrefix = "tessik-delivery-worker-";
  constexpr std::string_view kSuffix = ".json";
  if (name.size() < kPrefix.size() + kSuffix.size()) return {};
  return name.substr(kPrefix.size(), name.size() - kPrefix.size() - kSuffix.size());
}

void settle_request_files(std::set<std::string>& taken, SendRecoveryReport& report) {
  for (const fs::path& path : list_delivery_request_files()) {
    DeliveryRequestClaim claim(path);
    switch (claim.claim()) {
      case DeliveryRequestClaim::Status::gone:
        continue;
      case DeliveryRequestClaim::Status::busy:
        taken.insert(message_id_of_request_file(path));  // a worker consumes it right now
        continue;
      case DeliveryRequestClaim::Status::claimed:
        break;
    }
    const ParsedDeliveryRequest& parsed = claim.parsed();
    // Only a complete background delivery can be resumed: a validation run's caller is gone,
    // and a callback delivery needs the binding only its own hand-off could make.
    if (!parsed.ok || parsed.mode != kDeliveryModeDeliver ||
        is_exact_callback_request(parsed.request)) {
      claim.consume();
      ++report.requests_removed;
      continue;
    }
    const std::string message_id = parsed.request.message_id;
    claim.release();
    if (resume_delivery_handoff(path).empty()) {
      taken.insert(message_id);
      ++report.requests_resumed;
    } else if (claim.claim() == DeliveryRequestClaim::Status::claimed) {
      claim.consume();
      ++report.requests_removed;
    }
  }
}

void read_taken_from_delivery_log(const fs::path& log, std::set<std::string>& taken) {
  std::ifstream in(log, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    bool candidate = false;
    for (std::string_view stage : kTakenStages) {
      if (line.find(stage) != std::string::npos) candidate = true;
    }
    if (!candidate) continue;
    const nlohmann::json record = nlohmann::json::parse(line, nullptr, false);
    if (!record.is_object() || record.value("event_type", "") != kDeliveryStageEvent) continue;
    const std::string stage = record.value("stage", "");
    for (std::string_view wanted : kTakenStages) {
      if (stage == wanted) taken.insert(record.value("message_id", ""));
    }
  }
}

void settle_submitted_tasks(const fs::path& task_log, const std::set<std::string>& taken,
                            SendRecoveryReport& report) {
  for (const std::string& line : read_latest_task_lines(task_log)) {
    if (line.find(kTaskStateSubmitted) == std::string::npos) continue;
    const std::optional<TaskRecord> task = parse_task_record(line);
    if (!task || task->state != kTaskStateSubmitted) continue;
    if (!task->message_id.empty() && taken.contains(task->message_id)) {
      append_task_record(task_log, recover_task_as_taken(*task));
      ++report.tasks_working;
    } else {
      append_task_record(task_log, fail_submitted_task(*task, kInterruptedSendReason));
      ++report.tasks_failed;
    }
  }
}

}  // namespace

SendRecoveryReport recover_interrupted_sends(const fs::path& task_log, const fs::path& delivery_log,
                                             const fs::path& state_directory) {
  SendRecoveryReport report;
  std::set<std::string> taken;
  settle_request_files(taken, report);
  // A log that rotated meanwhile keeps its older records one file aside.
  fs::path rotated = delivery_log;
  rotated += ".1";
  read_taken_from_delivery_log(rotated, taken);
  read_taken_from_delivery_log(delivery_log, taken);
  settle_submitted_tasks(task_log, taken, report);
  report.temporaries_removed = platform::remove_abandoned_temporaries(state_directory);
  return report;
}

}  // namespace tessik
