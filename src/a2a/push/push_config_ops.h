// The push configuration operations (create, list, get, delete) and the check and storage of
// a configuration given inline with a SendMessage. Each decides once; both bindings render
// the outcome. Scope checks are the caller's; task and configuration visibility apply here.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "a2a/gateway/gateway_context.h"
#include "a2a/push/push_config.h"
#include "a2a/tasks/task_result.h"
#include "wire/envelope.h"

namespace tessik {

// Either an error or the configurations to answer with: one for create and get, the visible
// ones for list, none for delete.
struct PushConfigOutcome {
  std::optional<TaskError> error;
  std::vector<PushConfig> configs;
};

// `object_text` is the create request object as JSON text (the HTTP body, or the JSON-RPC
// params in client form). A configuration created for a task that has already ended hands
// the task to push delivery before the answer.
PushConfigOutcome create_push_config_operation(const GatewayContext& context,
                                               const Principal& principal,
                                               std::string_view path_task_id,
                                               std::string_view object_text);
PushConfigOutcome list_push_configs_operation(const GatewayContext& context,
                                              const Principal& principal, std::string_view task_id);
PushConfigOutcome get_push_config_operation(const GatewayContext& context,
                                            const Principal& principal, std::string_view task_id,
                                            std::string_view config_id);
PushConfigOutcome delete_push_config_operation(const GatewayContext& context,
                                               const Principal& principal, std::string_view task_id,
                                               std::string_view config_id);

// The inline configuration of a send: nothing to do, a configuration to store after the task,
// or the error that refuses the send before anything is delivered.
struct SendPushConfigCheck {
  std::optional<PushConfig> config;
  std::optional<TaskError> error;
};
SendPushConfigCheck check_send_push_config(const GatewayContext& context,
                                           const Principal& principal,
                                           std::string_view configuration_json,
                                           std::string_view task_id);

// Appends the checked inline configuration. The error when the log cannot be written.
std::optional<TaskError> store_send_push_config(const GatewayContext& context,
                                                const PushConfig& config);

// The list document: {"configs":[client forms],"nextPageToken":""}.
std::string push_config_list_json(const std::vector<PushConfig>& configs);

}  // namespace tessik
