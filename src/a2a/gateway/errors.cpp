// Error bodies are assembled by hand because their key order is part of the wire format.
#include "a2a/gateway/errors.h"

#include <array>
#include <utility>

#include "base/text.h"

namespace tessik {
namespace {

void append_error_info(std::string& out, std::string_view local_code) {
  out += "{\"@type\":\"";
  out += kErrorInfoTypeUrl;
  out += "\",\"reason\":\"";
  append_json_escaped(out, a2a_error_reason(local_code));
  out += "\",\"domain\":\"";
  out += kA2aErrorDomain;
  out += "\",\"metadata\":{\"localCode\":\"";
  append_json_escaped(out, local_code);
  out += "\"}}";
}

GatewayResponse json_response_200(std::string body) {
  GatewayResponse response;
  response.status = 200;
  response.body = std::move(body);
  return response;
}

}  // namespace

std::string a2a_error_reason(std::string_view local_code) {
  static const std::array<std::pair<std::string_view, std::string_view>, 20> kReasons = {{
      {"TaskNotFoundError", "TASK_NOT_FOUND"},
      {"TASK_NOT_FOUND", "TASK_NOT_FOUND"},
      {"TaskNotCancelableError", "TASK_NOT_CANCELABLE"},
      {"TASK_NOT_CANCELABLE", "TASK_NOT_CANCELABLE"},
      {"TESSIK_A2A_TASK_NOT_CANCELABLE", "TASK_NOT_CANCELABLE"},
      {"PushNotificationNotSupportedError", "PUSH_NOTIFICATION_NOT_SUPPORTED"},
      {"PUSH_NOTIFICATION_NOT_SUPPORTED", "PUSH_NOTIFICATION_NOT_SUPPORTED"},
      {"UnsupportedOperationError", "UNSUPPORTED_OPERATION"},
      {"UNSUPPORTED_OPERATION", "UNSUPPORTED_OPERATION"},
      {"TESSIK_A2A_TASK_NOT_SUBSCRIBABLE", "UNSUPPORTED_OPERATION"},
      {"ContentTypeNotSupportedError", "CONTENT_TYPE_NOT_SUPPORTED"},
      {"CONTENT_TYPE_NOT_SUPPORTED", "CONTENT_TYPE_NOT_SUPPORTED"},
      {"InvalidAgentResponseError", "INVALID_AGENT_RESPONSE"},
      {"INVALID_AGENT_RESPONSE", "INVALID_AGENT_RESPONSE"},
      {"ExtendedAgentCardNotConfiguredError", "EXTENDED_AGENT_CARD_NOT_CONFIGURED"},
      {"EXTENDED_AGENT_CARD_NOT_CONFIGURED", "EXTENDED_AGENT_CARD_NOT_CONFIGURED"},
      {"ExtensionSupportRequiredError", "EXTENSION_SUPPORT_REQUIRED"},
      {"EXTENSION_SUPPORT_REQUIRED", "EXTENSION_SUPPORT_REQUIRED"},
      {"VersionNotSupportedError", "VERSION_NOT_SUPPORTED"},
      {"VERSION_NOT_SUPPORTED", "VERSION_NOT_SUPPORTED"},
  }};
  const std::string code = trim(local_code);
  for (const auto& [from, reason] : kReasons) {
    if (code == from) return std::string(reason);
  }
  return code;
}

std::string http_status_word(int status) {
  switch (status) {
    case 400:
    case 415:
      return "INVALID_ARGUMENT";
    case 401:
      return "UNAUTHENTICATED";
    case 403:
      return "PERMISSION_DENIED";
    case 404:
      return "NOT_FOUND";
    case 405:
      return "METHOD_NOT_ALLOWED";
    case 409:
      return "FAILED_PRECONDITION";
    case 501:
      return "UNIMPLEMENTED";
    case 503:
      return "UNAVAILABLE";
    default:
      return status < 500 ? "INVALID_ARGUMENT" : "INTERNAL";
  }
}

GatewayResponse make_http_error(int status, std::string_view local_code, std::string_view message) {
  GatewayResponse response;
  response.status = status;
  std::string& out = response.body;
  out = "{\"error\":{\"code\":" + std::to_string(status) + ",\"status\":\"" +
        http_status_word(status) + "\",\"message\":\"";
  append_json_escaped(out, message);
  out += "\",\"details\":[";
  append_error_info(out, local_code);
  out += "]}}";
  return response;
}

GatewayResponse make_json_rpc_error(std::string_view id, int code, std::string_view message,
                                    std::string_view local_code) {
  std::string out = "{\"jsonrpc\":\"2.0\",\"id\":";
  out += id;
  out += ",\"error\":{\"code\":" + std::to_string(code) + ",\"message\":\"";
  append_json_escaped(out, message);
  out += '"';
  if (!trim(local_code).empty()) {
    out += ",\"data\":[";
    append_error_info(out, local_code);
    out += ']';
  }
  out += "}}";
  return json_response_200(std::move(out));
}

GatewayResponse make_json_rpc_result(std::string_view id, std::string_view result_json) {
  std::string out = "{\"jsonrpc\":\"2.0\",\"id\":";
  out += id;
  out += ",\"result\":";
  out += result_json;
  out += '}';
  return json_response_200(std::move(out));
}

GatewayResponse http_json_parse_error() {
  return make_http_error(400, "TESSIK_A2A_JSON_PARSE_ERROR",
                         "Request body must be a valid JSON object.");
}

GatewayResponse json_rpc_parse_error() {
  return make_json_rpc_error("null", kJsonRpcParseError, "Invalid JSON payload",
                             "TESSIK_A2A_JSON_PARSE_ERROR");
}

GatewayResponse content_type_error(std::string_view message) {
  return make_http_error(415, "ContentTypeNotSupportedError", message);
}

}  // namespace tessik
