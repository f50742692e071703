// A push notification configuration: the record, how it is read from a request or from the
// configuration of a SendMessage, its validation, its two JSON forms and who may see it.
// Pure functions of their inputs; storage is push_config_store.h.
#pragma once

#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "wire/envelope.h"

namespace tessik {

struct PushConfig {
  std::string task_id;
  std::string id;
  std::string url;
  std::string token;           // sent nowhere; kept for the client that registered it
  std::string authentication;  // compact JSON text of {"scheme":...,"credentials":...}, or empty
  std::string requester_client_id;
  std::string requester_agent;
  std::string requester_node = "local";
  bool deleted = false;

  bool operator==(const PushConfig&) const = default;
};

// From the members of a create request object: taskId (then task_id, then `task_id`), id
// (a fresh random id when blank), url, token, authentication; the owner fields from an
// authenticated principal. A non-object gives a configuration with only the given task id.
PushConfig push_config_from_object(const nlohmann::json& object, std::string_view task_id,
                                   const Principal& principal);
// The same from request body text; text that is not a JSON object reads as an empty object.
PushConfig parse_push_config_request(std::string_view body, std::string_view task_id,
                                     const Principal& principal);

// The configuration object of a SendMessage "configuration" text: "taskPushNotificationConfig"
// or, as older clients spell it, "pushNotificationConfig". Nothing when neither is a
// non-null value other than an empty object. The task id is always the send's.
std::optional<PushConfig> push_config_from_send(std::string_view configuration_json,
                                                std::string_view task_id,
                                                const Principal& principal);

// The first validation failure's message, or nothing for a valid configuration.
std::optional<std::string> validate_push_config(const PushConfig& config);

// The scheme and credentials of an authentication text (empty when absent or not text).
struct PushAuthentication {
  std::string scheme;
  std::string credentials;
};
PushAuthentication read_push_authentication(std::string_view authentication);

// The form older (0.3) clients read: {"taskId","pushNotificationConfig":{"id","url"
// [,"token"][,"authentication":{"schemes":[scheme],"credentials"}]}}.
std::string push_config_to_v03_json(const PushConfig& config);

// Anonymous callers and task.admin holders see every configuration; otherwise the owner
// client id, or else the owner agent and node, must be the caller's.
bool is_push_config_visible(const PushConfig& config, const Principal& principal);

}  // namespace tessik
