// Shape checks of a SendMessage request and the alias lookup of its send fields.
#include "a2a/intake/send_validation.h"

#include <initializer_list>
#include <nlohmann/json.hpp>

#include "a2a/jsonrpc/json_raw.h"
#include "base/text.h"

namespace tessik {
namespace {

using nlohmann::json;

constexpr std::string_view kTextPartsOnly = "A2A send currently supports text parts only.";
constexpr std::string_view kTextPlainOnly = "A2A send currently supports text/plain output only.";

std::optional<SendValidationFailure> fail(std::string_view message) {
  return SendValidationFailure{std::string(message), is_send_content_type_message(message)};
}

bool is_non_empty_string(const json& value) {
  return value.is_string() && !trim(value.get_ref<const std::string&>()).empty();
}

const json* member(const json& object, std::string_view key) {
  if (!object.is_object()) return nullptr;
  const auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

bool is_non_negative_integer(const json& value) {
  return value.is_number_unsigned() ||
         (value.is_number_integer() && value.get<std::int64_t>() >= 0);
}

std::optional<SendValidationFailure> check_configuration(const json& configuration) {
  for (const char* key : {"historyLength", "history_length"}) {
    const json* value = member(configuration, key);
    if (value != nullptr && !is_non_negative_integer(*value))
      return fail("A2A send historyLength must be a non-negative integer.");
  }
  const json* modes = member(configuration, "acceptedOutputModes");
  if (modes == nullptr) return std::nullopt;
  if (!modes->is_array()) return fail("A2A acceptedOutputModes must be an array.");
  for (const json& mode : *modes) {
    if (trim(mode.dump()) == "\"text/plain\"") return std::nullopt;
  }
  return fail(kTextPlainOnly);
}

std::optional<SendValidationFailure> check_part(const json& part) {
  if (!part.is_object()) return fail("A2A send message parts must contain objects.");
  int content_fields = 0;
  for (const char* key : {"text", "raw", "url", "data"})
    content_fields += part.contains(key);
  if (content_fields != 1)
    return fail("A2A send message parts must contain exactly one content field.");
  if (!part.contains("text")) return fail(kTextPartsOnly);
  if (!is_non_empty_string(part["text"]))
    return fail("A2A send text parts must contain non-empty text.");
  return std::nullopt;
}

std::optional<SendValidationFailure> check_message(const json& message) {
  if (!is_non_empty_string(message.value("messageId", json())))
    return fail("A2A send message requires messageId.");
  const json role = message.value("role", json());
  if (!is_non_empty_string(role)) return fail("A2A send message requires role.");
  const std::string role_word = ascii_lower(trim(role.get_ref<const std::string&>()));
  if (role_word != "user" && role_word != "role_user")
    return fail("A2A send message role must be user.");
  const json* parts = member(message, "parts");
  if (parts == nullptr) return fail("A2A send message requires parts.");
  if (!parts->is_array()) return fail("A2A send message parts must be an array.");
  if (parts->empty()) return fail("A2A send message parts must not be empty.");
  for (const json& part : *parts) {
    if (auto failure = check_part(part)) return failure;
  }
  return std::nullopt;
}

std::string message_text(const json& message) {
  std::string text;
  const json* parts = member(message, "parts");
  if (parts == nullptr || !parts->is_array()) return text;
  for (const json& part : *parts) {
    const json* value = member(part, "text");
    if (value == nullptr || !value->is_string()) continue;
    if (!text.empty()) text += '\n';
    text += value->get_ref<const std::string&>();
  }
  return text;
}

// Strings count trimmed, numbers by their JSON text; anything else is no value.
std::string alias_value(const json* object, std::string_view key) {
  const json* value = object == nullptr ? nullptr : member(*object, key);
  if (value == nullptr) return {};
  if (value->is_string()) return trim(value->get_ref<const std::string&>());
  if (value->is_number()) return value->dump();
  return {};
}

std::string first_alias(const json* object, std::initializer_list<std::string_view> keys) {
  for (std::string_view key : keys) {
    std::string value = alias_value(object, key);
    if (!value.empty()) return value;
  }
  return {};
}

template <typename... Lists>
std::string first_of(const Lists&... lookups) {
  std::string value;
  ((value.empty() ? void(value = lookups()) : void()), ...);
  return value;
}

}  // namespace

bool is_send_content_type_message(std::string_view message) {
  return message == kTextPartsOnly || message == kTextPlainOnly;
}

std::optional<SendValidationFailure> validate_send_params(std::string_view params) {
  const json request = json::parse(params, nullptr, false);
  if (!request.is_object()) return fail("A2A send requires a message object.");
  if (const json* metadata = member(request, "metadata"); metadata && !metadata->is_object())
    return fail("A2A send metadata must be a JSON object.");
  if (const json* configuration = member(request, "configuration")) {
    if (!configuration->is_object()) return fail("A2A send configuration must be a JSON object.");
    if (auto failure = check_configuration(*configuration)) return failure;
  }
  const json* message = member(request, "message");
  if (message == nullptr) return fail("A2A send requires a message object.");
  if (!message->is_object()) return fail("A2A send message must be a JSON object.");
  if (auto failure = check_message(*message)) return failure;
  if (trim(message_text(*message)).empty()) return fail("A2A send requires message text.");
  return std::nullopt;
}

SendIntake extract_send_intake(std::string_view params) {
  SendIntake intake;
  const json request = json::parse(params, nullptr, false);
  if (!request.is_object()) return intake;
  const json* message = member(request, "message");
  const json* params_metadata = member(request, "metadata");
  const json* message_metadata = message ? member(*message, "metadata") : nullptr;
  const json* configuration = member(request, "configuration");

  const auto in = [](const json* object, std::initializer_list<std::string_view> keys) {
    return [object, keys] { return first_alias(object, keys); };
  };
  intake.task_id = first_of(in(&request, {"taskId", "id"}), in(message, {"taskId"}));
  intake.context_id = first_of(in(&request, {"contextId"}), in(message, {"contextId"}));
  intake.message_id = first_alias(message, {"messageId"});
  intake.target_id = first_of(in(&request, {"tessikTargetId", "targetId", "skillId", "agentId"}),
                              in(params_metadata, {"tessikTargetId", "targetId", "skillId",
                                                   "tessikSkillId", "agentId", "tessikAgentId"}),
                              in(message_metadata, {"tessikTargetId", "targetId", "skillId",
                                                    "tessikSkillId", "agentId", "tessikAgentId"}));
  intake.target_agent = first_of(in(&request, {"targetAgent", "target", "to"}),
                                 in(params_metadata, {"tessikTargetAgent", "targetAgent", "to"}),
                                 in(message_metadata, {"tessikTargetAgent", "targetAgent", "to"}));
  intake.requester_agent = first_of(
      in(&request, {"requesterAgent", "from"}),
      in(params_metadata, {"tessikRequesterAgent", "tessikSenderId", "requesterAgent", "from"}));
  intake.requester_node =
      first_of(in(&request, {"requesterNode", "fromNode"}),
               in(params_metadata, {"tessikRequesterNode", "tessikSenderNode", "requesterNode"}));
  if (message != nullptr) intake.text = message_text(*message);
  for (const char* key : {"history_length", "historyLength"}) {
    const json* value = configuration ? member(*configuration, key) : nullptr;
    if (value != nullptr && is_non_negative_integer(*value)) {
      intake.history_length = value->get<std::int64_t>();
      break;
    }
  }
  intake.message_json = raw_json_member(params, "message").value_or("");
  intake.configuration_json = raw_json_member(params, "configuration").value_or("");
  return intake;
}

}  // namespace tessik
