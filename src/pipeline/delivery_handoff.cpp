// Delivery hand-off. The hand-off answers only whether a child was started; the delivery
// itself, and its evidence, belong to the child.
#include "pipeline/delivery_handoff.h"

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <system_error>
#include <utility>
#include <vector>

#include "base/json_depth.h"
#include "base/text.h"
#include "pipeline/delivery_request.h"
#include "platform/bounded_process.h"
#include "platform/executable_path.h"
#include "providers/antigravity_cli/operation_journal.h"
#include "state/state_dir.h"

namespace tessik {
namespace fs = std::filesystem;
namespace {

constexpr char kWorkerMode[] = "delivery-worker";
constexpr char kSupervisorMode[] = "delivery-supervisor";

bool is_file(const fs::path& path) {
  std::error_code error;
  return !path.empty() && fs::exists(path, error);
}

std::string provider_or(const DeliveryRequest& request, const char* fallback) {
  return request.target.provider.empty() ? std::string(fallback) : request.target.provider;
}

// A bare name is looked up on PATH, as the Windows process creation would; a relative path
// is taken from the current directory.
platform::ExecutableResolution launchable(const fs::path& executable) {
  if (!executable.has_parent_path()) return platform::resolve_executable_on_path(executable);
  std::error_code error;
  fs::path absolute = fs::absolute(executable, error);
  if (error)
    return {{}, "could not resolve executable " + executable.string() + ": " + error.message()};
  return {std::move(absolute), {}};
}

void remove_quietly(const fs::path& path) {
  std::error_code ignored;
  fs::remove(path, ignored);
}

const std::vector<std::pair<std::string, std::string>>& child_environment() {
  static const std::vector<std::pair<std::string, std::string>> overrides{
      {kOperationIdVariable, ""}};
  return overrides;
}

DeliveryResult name_taken(const DeliveryRequest& request, bool callback, const char* error,
                          const std::string& evidence) {
  DeliveryResult result;
  result.provider_session_id = request.target.provider_session_id;
  result.provider = provider_or(request, "delivery_worker");
  result.state = "delivery_worker_handoff_failed";
  result.method =
      callback ? "delivery_supervisor_background_handoff" : "delivery_worker_background_handoff";
  result.error = error;
  result.evidence = evidence;
  return result;
}

}  // namespace

fs::path delivery_executable() {
  if (const char* value = std::getenv(kExecutableVariable)) {
    const std::string configured = trim(value);
    if (!configured.empty()) return fs::path(configured);
  }
  const fs::path own = platform::current_executable_path();
  if (is_file(own)) return own;
  try {
    const fs::path installed = resolve_state_directory() / "bin" / "tessik";
    if (is_file(installed)) return installed;
  } catch (const StateDirectoryError&) {
    // No state directory: the remaining places do not need one.
  }
  std::error_code error;
  const fs::path local = fs::current_path(error) / "tessik";
  if (!error && is_file(local)) return local;
  return fs::path("tessik");
}

bool is_exact_callback_request(const DeliveryRequest& request) {
  return trim(request.sender.source) == kExactCallbackSenderSource;
}

CallbackBinding bind_exact_callback(const DeliveryRequest& request) {
  CallbackBinding binding;
  const std::string context = trim(request.source_context);
  if (!context.starts_with(kOperationContextPrefix) ||
      trim(request.sender.sender_session_id).empty() || trim(request.message_id).empty() ||
      trim(request.target.provider_session_id).empty()) {
    binding.error = "Antigravity CLI callback attribution is incomplete";
    return binding;
  }
  binding.operation_id = trim(context.substr(std::string_view(kOperationContextPrefix).size()));
  if (binding.operation_id.empty()) {
    binding.error = "Antigravity CLI callback operation ID is empty";
    return binding;
  }
  const OperationBinding bound =
      bind_callback_to_operation(binding.operation_id, trim(request.message_id));
  if (!bound.bound) {
    binding.error = bound.error;
    return binding;
  }
  binding.dispatch_token = bound.dispatch_token;
  binding.complete = true;
  return binding;
}

DeliveryResult hand_off_delivery(const DeliveryRequest& request) {
  const fs::path path = delivery_request_path(request.message_id);
  const std::string request_evidence = "request_file=" + path.string();
  DeliveryResult result;
  result.provider_session_id = request.target.provider_session_id;
  const bool callback = is_exact_callback_request(request);
  try {
    write_delivery_request(path, request, kDeliveryModeDeliver);
  } catch (const DeliveryRequestExistsError& error) {
    // Not ours to touch: whoever made it keeps it, and no child reads a file we did not write.
    return name_taken(request, callback, error.what(), request_evidence);
  }

  CallbackBinding binding;
  if (callback) {
    // Only writing the request may throw: a journal that cannot be read or written refuses
    // the binding like any other reason.
    try {
      binding = bind_exact_callback(request);
    } catch (const std::exception& failure) {
      binding = CallbackBinding{};
      binding.error = failure.what();
    }
    if (!binding.complete) {
      remove_quietly(path);
      result.provider = provider_or(request, "delivery_supervisor");
      result.state = "delivery_supervisor_binding_failed";
      result.method = "delivery_supervisor_exact_callback_binding";
      result.error = binding.error.empty() ? "Antigravity CLI callback request did not contain a "
                                             "complete exact dispatch binding"
                                           : binding.error;
      result.evidence = request_evidence;
      return result;
    }
  }

  const char* owner = callback ? kSupervisorMode : kWorkerMode;
  std::vector<std::string> arguments{owner, "--request", path.string()};
  if (callback) {
    arguments.insert(arguments.end(),
                     {"--operation-id", binding.operation_id, "--dispatch-token",
                      binding.dispatch_token, "--callback-message-id", trim(request.message_id)});
  }
  result.provider = provider_or(request, "delivery_worker");
  result.method =
      callback ? "delivery_supervisor_background_handoff" : "delivery_worker_background_handoff";

  platform::DetachedProcessResult launched;
  const platform::ExecutableResolution executable = launchable(delivery_executable());
  if (executable.error.empty()) {
    launched = platform::launch_detached_process(executable.path, arguments, child_environment());
  } else {
    launched.error = executable.error;
  }
  if (launched.state != "started") {
    remove_quietly(path);
    result.state = "delivery_worker_handoff_failed";
    result.error = launched.error;
    result.evidence = request_evidence;
    if (callback) {
      try {
        record_operation_response_failed(binding.operation_id, "delivery_supervisor_launch_failed",
                                         launched.error);
      } catch (const std::exception& failure) {
        result.evidence += " operation_fact_error=" + std::string(failure.what());
      }
    }
    return result;
  }
  result.state = "accepted_by_tessik";
  result.accepted = true;
  result.evidence =
      std::string("background_handoff=started owner=") + owner + " " + request_evidence;
  return result;
}

std::string resume_delivery_handoff(const fs::path& request_file) {
  const platform::ExecutableResolution executable = launchable(delivery_executable());
  if (!executable.error.empty()) return executable.error;
  const platform::DetachedProcessResult launched = platform::launch_detached_process(
      executable.path, {kWorkerMode, "--request", request_file.string()}, child_environment());
  return launched.state == "started" ? std::string() : launched.error;
}

bool parse_delivery_worker_result(std::string_view output, DeliveryResult& result) {
  std::size_t end = output.size();
  while (end > 0) {
    const std::size_t newline = output.rfind('\n', end - 1);
    const std::size_t begin = newline == std::string_view::npos ? 0 : newline + 1;
    const std::string_view line = output.substr(begin, end - begin);
    end = newline == std::string_view::npos ? 0 : newline;
    if (line.find("\"type\":\"") == std::string_view::npos ||
        line.find("delivery_worker_result") == std::string_view::npos) {
      continue;
    }
    if (!json_nesting_within(line)) return false;
    const nlohmann::json document = nlohmann::json::parse(trim(line), nullptr, false);
    if (!document.is_object()) return false;
    const auto text = [&](const char* key) {
      const auto found = document.find(key);
      return found != document.end() && found->is_string() ? found->get<std::string>()
                                                           : std::string();
    };
    const auto flag = [&](const char* key) {
      const auto found = document.find(key);
      if (found == document.end()) return false;
      if (found->is_boolean()) return found->get<bool>();
      return found->is_string() && found->get<std::string>() == "true";
    };
    result.provider = text("provider");
    result.state = text("state");
    result.method = text("method_used");
    result.evidence = text("evidence");
    result.error = text("error");
    result.accepted = flag("accepted");
    result.degraded = flag("degraded");
    return true;
  }
  return false;
}

DeliveryResult run_delivery_worker(const DeliveryRequest& request, std::string_view mode,
                                   std::int64_t timeout_ms) {
  const fs::path path = delivery_request_path(request.message_id);
  try {
    write_delivery_request(path, request, mode);
  } catch (const DeliveryRequestExistsError& error) {
    DeliveryResult result =
        name_taken(request, false, error.what(), "request_file=" + path.string());
    result.state = "delivery_worker_failed";
    return result;
  }
  std::vector<std::string> arguments{kWorkerMode, "--request", path.string()};
  if (mode == kDeliveryModeValidate) arguments.emplace_back("--validate-only");

  platform::BoundedProcessResult run;
  const platform::ExecutableResolution executable = launchable(delivery_executable());
  if (executable.error.empty()) {
    platform::BoundedProcessOptions options =
        platform::make_bounded_options(executable.path, arguments, timeout_ms);
    options.environment_overrides = child_environment();
    run = platform::run_bounded_process(options);
  } else {
    run.error = executable.error;
  }
  remove_quietly(path);

  DeliveryResult result;
  if (!parse_delivery_worker_result(run.output, result)) {
    result = DeliveryResult{};
    result.provider = "delivery_worker";
    result.state = "delivery_worker_failed";
    result.error = "delivery worker returned no parseable result";
    result.evidence = run.output.empty() && !run.error.empty()
                          ? "bounded_process_error=" + run.error
                          : run.output;
    return result;
  }
  if (run.exit_code != 0 && result.accepted) {
    result.state = "delivery_worker_failed";
    result.error =
        "delivery worker exited non-zero after accepting request: " + std::to_string(run.exit_code);
  }
  return result;
}

}  // namespace tessik
