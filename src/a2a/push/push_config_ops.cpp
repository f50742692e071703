// Create, list, get and delete of push configurations, and the inline configuration of a send.
#include "a2a/push/push_config_ops.h"

#include <filesystem>

#include "a2a/gateway/error_catalog.h"
#include "a2a/gateway/scopes.h"
#include "a2a/push/push_config_store.h"
#include "a2a/tasks/task_json.h"
#include "a2a/tasks/log_scan/task_index.h"
#include "a2a/tasks/task_log.h"
#include "a2a/tasks/task_push_payloads.h"
#include "a2a/tasks/task_visibility.h"
#include "base/text.h"

namespace tessik {
namespace {

PushConfigOutcome failure(TaskError error) {
  return {std::move(error), {}};
}

PushConfigOutcome not_found() {
  return failure(task_not_found_error());
}

TaskError storage_failed(std::string_view reason) {
  std::string message = "A2A push notification config secret protection failed";
  message += reason.empty() ? "." : ": " + std::string(reason);
  return catalogue_task_error(local_code::kPushConfigStorageFailed, message);
}

// The visible task's latest line, or nothing for a task that is missing or not the caller's.
std::optional<std::string> visible_task_line(const GatewayContext& context,
                                             const Principal& principal, std::string_view task_id) {
  std::optional<std::string> line = find_latest_task_line_indexed(task_log_path(context), task_id);
  if (!line || !is_task_visible(*line, principal)) return std::nullopt;
  return line;
}

// The write error of the log as the caller's answer: 500 with the store's message.
TaskError log_write_error(const std::exception& error) {
  return catalogue_task_error(local_code::kPushConfigStorageFailed, error.what(), 500);
}

}  // namespace

PushConfigOutcome create_push_config_operation(const GatewayContext& context,
                                               const Principal& principal,
                                               std::string_view path_task_id,
                                               std::string_view object_text) {
  const std::string task_id = trim(path_task_id);
  const std::optional<std::string> task_line = visible_task_line(context, principal, task_id);
  if (!task_line) return not_found();
  PushConfig config = parse_push_config_request(object_text, task_id, principal);
  if (trim(config.task_id) != task_id) {
    return failure(catalogue_task_error(local_code::kTaskIdMismatch,
                                        "Request body taskId must match path task id."));
  }
  if (auto message = validate_push_config(config))
    return failure(catalogue_task_error(local_code::kPushConfigInvalid, *message));
  const std::filesystem::path log = push_config_log_path(context);
  if (auto existing = find_push_config(log, task_id, config.id);
      existing && !is_push_config_visible(*existing, principal)) {
    return not_found();
  }
  if (auto reason = check_push_config_protection(config)) return failure(storage_failed(*reason));
  try {
    append_push_config(log, config);
  } catch (const std::exception& error) {
    return failure(log_write_error(error));
  }
  if (std::optional<TaskRecord> task = parse_task_record(*task_line);
      task && is_terminal_task_state(task->state)) {
    trigger_task_push_delivery(context, *task);
  }
  return {std::nullopt, {std::move(config)}};
}

PushConfigOutcome list_push_configs_operation(const GatewayContext& context,
                                              const Principal& principal,
                                              std::string_view task_id) {
  if (trim(task_id).empty() || !visible_task_line(context, principal, task_id)) return not_found();
  PushConfigOutcome outcome;
  for (PushConfig& config : read_task_push_configs(push_config_log_path(context), task_id)) {
    if (is_push_config_visible(config, principal)) outcome.configs.push_back(std::move(config));
  }
  return outcome;
}

PushConfigOutcome get_push_config_operation(const GatewayContext& context,
                                            const Principal& principal, std::string_view task_id,
                                            std::string_view config_id) {
  if (trim(task_id).empty() || !visible_task_line(context, principal, task_id)) return not_found();
  std::optional<PushConfig> config =
      find_push_config(push_config_log_path(context), task_id, config_id);
  if (!config || !is_push_config_visible(*config, principal)) return not_found();
  return {std::nullopt, {std::move(*config)}};
}

PushConfigOutcome delete_push_config_operation(const GatewayContext& context,
                                               const Principal& principal, std::string_view task_id,
                                               std::string_view config_id) {
  const std::filesystem::path log = push_config_log_path(context);
  std::optional<PushConfig> config = find_push_config(log, task_id, config_id);
  if (!config || !is_push_config_visible(*config, principal)) return not_found();
  try {
    if (!delete_push_config(log, task_id, config_id)) return not_found();
  } catch (const std::exception& error) {
    return failure(log_write_error(error));
  }
  return {};
}

SendPushConfigCheck check_send_push_config(const GatewayContext& context,
                                           const Principal& principal,
                                           std::string_view configuration_json,
                                           std::string_view task_id) {
  SendPushConfigCheck check;
  check.config = push_config_from_send(configuration_json, task_id, principal);
  if (!check.config) return check;
  if (push_scope_denied(principal, context)) {
    check.error = catalogue_task_error(local_code::kScopeDenied, scope_message::kConfigurePush);
  } else if (auto message = validate_push_config(*check.config)) {
    check.error = catalogue_task_error(local_code::kPushConfigInvalid, *message);
  } else if (auto reason = check_push_config_protection(*check.config)) {
    check.error = storage_failed(*reason);
  }
  return check;
}

std::optional<TaskError> store_send_push_config(const GatewayContext& context,
                                                const PushConfig& config) {
  try {
    append_push_config(push_config_log_path(context), config);
  } catch (const std::exception& error) {
    return log_write_error(error);
  }
  return std::nullopt;
}

std::string push_config_list_json(const std::vector<PushConfig>& configs) {
  std::string out = "{\"configs\":[";
  for (std::size_t i = 0; i < configs.size(); ++i) {
    if (i > 0) out += ',';
    out += push_config_to_json(configs[i], false);
  }
  return out + "],\"nextPageToken\":\"\"}";
}

}  // namespace tessik
