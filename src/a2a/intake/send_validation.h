// The shape checks of a SendMessage request and the send fields read from it with their aliases.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "a2a/gateway/scopes.h"

namespace tessik {

// A validation failure: the fixed message and whether it is a content-type refusal
// (HTTP 415 / JSON-RPC -32005, "ContentTypeNotSupportedError") rather than a bad request
// (HTTP 400 / JSON-RPC -32602).
struct SendValidationFailure {
  std::string message;
  bool content_type = false;
};

// Checks the request object (the HTTP body or the JSON-RPC "params"); the first failure wins.
// Nothing when the request may be sent. Never throws; text that is not a JSON object fails
// with "A2A send requires a message object.".
std::optional<SendValidationFailure> validate_send_params(std::string_view params);

// True for the two messages that refuse a content type rather than a request shape.
bool is_send_content_type_message(std::string_view message);

// The fields of a send. The sender identity is the struct apply_principal_to_send fills.
struct SendIntake : SendSenderIdentity {
  std::string task_id;
  std::string context_id;
  std::string message_id;
  std::string target_id;     // a public agent id
  std::string target_agent;  // an agent name or alias
  std::string text;          // the text parts joined by line breaks
  std::optional<std::int64_t> history_length;
  std::string message_json;        // the raw "message" object text
  std::string configuration_json;  // the raw "configuration" object text; "" when absent
};

// Reads the send fields of a validated request. Each field takes the first alias whose value,
// trimmed, is non-empty (values are kept trimmed). Never throws; a request that is not a JSON
// object yields empty fields.
SendIntake extract_send_intake(std::string_view params);

}  // namespace tessik
