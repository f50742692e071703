// The delivery worker's work. It runs detached from whoever accepted the message, so its own
// stage records are the only account of the delivery.
#include "pipeline/delivery_worker.h"

#include <exception>
#include <system_error>

#include "base/text.h"
#include "lifecycle/provider_edges.h"
#include "pipeline/delivery_request.h"
#include "pipeline/delivery_stage.h"
#include "state/state_dir.h"

namespace tessik {
namespace fs = std::filesystem;
namespace {

DeliveryResult worker_failure(std::string method, std::string error, std::string evidence) {
  DeliveryResult result;
  result.provider = "delivery_worker";
  result.state = "failed";
  result.method = std::move(method);
  result.error = std::move(error);
  result.evidence = std::move(evidence);
  return result;
}

// Stage records of one request, addressed by its target.
class StageWriter {
 public:
  explicit StageWriter(const DeliveryRequest& request)
      : log_(delivery_log_path()), request_(request) {}

  void write(const std::string& stage, bool ok, const std::string& detail) const {
    DeliveryStage record;
    record.test_id = request_.test_id;
    record.message_id = request_.message_id;
    record.provider = request_.target.provider;
    record.target = request_.target.display_name;
    record.session_id = request_.target.provider_session_id;
    record.node = request_.target.node_id;
    record.stage = stage;
    record.ok = ok;
    record.detail = detail;
    append_delivery_stage(log_, record, kStageSourceDeliveryWorker);
  }

 private:
  EvidenceLog log_;
  const DeliveryRequest& request_;
};

DeliveryWorkerOutcome deliver(const fs::path& request_file, bool validate_only) {
  DeliveryWorkerOutcome outcome;
  const std::string file_evidence = "request_file=" + request_file.string();
  DeliveryRequestClaim claim(request_file);
  const DeliveryRequestClaim::Status claimed = claim.claim();
  if (claimed == DeliveryRequestClaim::Status::busy) {
    // Another worker consumes this request right now; delivering it twice would duplicate it.
    outcome.result =
        worker_failure("delivery_worker_request_claimed",
                       "delivery worker request is claimed by another worker", file_evidence);
    return outcome;
  }
  ParsedDeliveryRequest parsed = claim.parsed();
  if (claimed == DeliveryRequestClaim::Status::gone) {
    parsed.error = "could not read delivery worker request: " + request_file.string();
  }
  if (!parsed.ok) {
    outcome.result = worker_failure("delivery_worker_request_invalid", parsed.error, file_evidence);
    // The result line carries the reason; a log that cannot be written must not replace it.
    try {
      StageWriter(DeliveryRequest{})
          .write("delivery_worker_request_rejected", false, parsed.error + "; " + file_evidence);
    } catch (const std::exception&) {
    }
    return outcome;
  }
  const DeliveryRequest& request = parsed.request;
  outcome.message_id = request.message_id;
  const bool validate = validate_only || parsed.mode == kDeliveryModeValidate;
  const StageWriter stages(request);
  // The record comes before the file goes, so that at every instant one of the two shows that
  // the request was taken: a broker that restarts reads them to settle the message's task.
  stages.write("delivery_worker_started", true,
               file_evidence + " mode=" + (validate ? "validate" : parsed.mode));
  claim.consume();

  const std::string problem = final_visible_body_problem(request.final_visible_body);
  if (!problem.empty()) {
    stages.write("final_visible_body_validated", false, problem);
    outcome.result = worker_failure("final_visible_body_invalid", problem, file_evidence);
    outcome.result.provider = request.target.provider;
    return outcome;
  }
  stages.write("final_visible_body_validated", true,
               "final_visible_body_bytes=" + std::to_string(request.final_visible_body.size()));
  if (validate) {
    DeliveryResult& result = outcome.result;
    result.provider = request.target.provider;
    result.state = "validated";
    result.accepted = true;
    result.method = "delivery_worker_validate_only";
    result.provider_session_id = request.target.provider_session_id;
    result.evidence =
        "final_visible_body_bytes=" + std::to_string(request.final_visible_body.size()) + " " +
        file_evidence;
    outcome.exit_code = 0;
    return outcome;
  }

  outcome.result = deliver_to_provider(request);
  if (outcome.result.accepted) {
    stages.write("provider_delivery_accepted", true,
                 "state=" + outcome.result.state + " method=" + outcome.result.method + " " +
                     outcome.result.evidence);
    outcome.exit_code = 0;
  } else {
    stages.write("provider_delivery_failed", false,
                 "state=" + outcome.result.state + " method=" + outcome.result.method +
                     " error=" + outcome.result.error);
  }
  return outcome;
}

}  // namespace

std::string final_visible_body_problem(std::string_view body) {
  if (trim_view(body).empty()) return "final visible body is empty";
  if (!is_valid_utf8(body)) return "final visible body is not valid UTF-8";
  if (body.find('\0') != std::string_view::npos) return "final visible body contains NUL bytes";
  return {};
}

DeliveryWorkerOutcome run_delivery_worker_request(const fs::path& request_file,
                                                  bool validate_only) {
  try {
    return deliver(request_file, validate_only);
  } catch (const std::exception& error) {
    DeliveryWorkerOutcome outcome;
    outcome.result = worker_failure("delivery_worker_exception", error.what(),
                                    "request_file=" + request_file.string());
    return outcome;
  }
}

std::string format_delivery_worker_result(const DeliveryResult& result,
                                          std::string_view message_id) {
  std::string line = "{\"type\":\"delivery_worker_result\"";
  const auto text = [&](const char* key, std::string_view value) {
    line += ",\"";
    line += key;
    line += "\":\"";
    append_json_escaped(line, value);
    line += '"';
  };
  const auto flag = [&](const char* key, bool value) {
    line += ",\"";
    line += key;
    line += value ? "\":true" : "\":false";
  };
  text("message_id", message_id);
  text("provider", result.provider);
  text("state", result.state);
  flag("accepted", result.accepted);
  flag("degraded", result.degraded);
  text("method_used", result.method);
  text("evidence", result.evidence);
  text("error", result.error);
  line += '}';
  return line;
}

}  // namespace tessik
