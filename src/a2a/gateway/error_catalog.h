// The gateway's local error codes with the HTTP status and JSON-RPC code each is answered
// with, and builders for the fixed refusals of routing and authentication.
#pragma once

#include <string_view>

#include "wire/envelope.h"

namespace tessik {

// Local codes, spelled once. A2A standard names appear exactly as the standard has them.
namespace local_code {
inline constexpr std::string_view kServerStopping = "TESSIK_A2A_SERVER_STOPPING";
inline constexpr std::string_view kRouteNotFound = "TESSIK_A2A_ROUTE_NOT_FOUND";
inline constexpr std::string_view kAgentNotFound = "TESSIK_A2A_AGENT_NOT_FOUND";
inline constexpr std::string_view kProviderNotFound = "TESSIK_A2A_PROVIDER_NOT_FOUND";
inline constexpr std::string_view kVersionNotSupported = "VersionNotSupportedError";
inline constexpr std::string_view kContentTypeNotSupported = "ContentTypeNotSupportedError";
inline constexpr std::string_view kJsonParseError = "TESSIK_A2A_JSON_PARSE_ERROR";
inline constexpr std::string_view kJsonTooDeep = "TESSIK_A2A_JSON_TOO_DEEP";
inline constexpr std::string_view kTokenNotConfigured = "TESSIK_A2A_TOKEN_NOT_CONFIGURED";
inline constexpr std::string_view kAuthRequired = "TESSIK_A2A_AUTH_REQUIRED";
inline constexpr std::string_view kAuthInvalid = "TESSIK_A2A_AUTH_INVALID";
inline constexpr std::string_view kScopeDenied = "TESSIK_A2A_SCOPE_DENIED";
inline constexpr std::string_view kUnsupportedOperation = "UnsupportedOperationError";
inline constexpr std::string_view kTaskNotFoundError = "TaskNotFoundError";
inline constexpr std::string_view kTaskNotFound = "TASK_NOT_FOUND";
inline constexpr std::string_view kTaskNotCancelable = "TESSIK_A2A_TASK_NOT_CANCELABLE";
inline constexpr std::string_view kTaskCorrupt = "TESSIK_A2A_TASK_CORRUPT";
inline constexpr std::string_view kContextMismatch = "TESSIK_A2A_CONTEXT_MISMATCH";
inline constexpr std::string_view kTargetMismatch = "TESSIK_A2A_TARGET_MISMATCH";
inline constexpr std::string_view kScopedTargetMismatch = "TESSIK_A2A_SCOPED_TARGET_MISMATCH";
inline constexpr std::string_view kDuplicateTaskId = "TESSIK_A2A_DUPLICATE_TASK_ID";
inline constexpr std::string_view kSendInvalid = "TESSIK_A2A_SEND_INVALID";
inline constexpr std::string_view kTargetRequired = "TESSIK_A2A_TARGET_REQUIRED";
inline constexpr std::string_view kTextRequired = "TESSIK_A2A_TEXT_REQUIRED";
inline constexpr std::string_view kTargetNotFound = "TESSIK_A2A_TARGET_NOT_FOUND";
inline constexpr std::string_view kSenderRequired = "TESSIK_A2A_SENDER_REQUIRED";
inline constexpr std::string_view kPushConfigInvalid = "TESSIK_A2A_PUSH_CONFIG_INVALID";
inline constexpr std::string_view kPushConfigStorageFailed =
    "TESSIK_A2A_PUSH_CONFIG_STORAGE_FAILED";
inline constexpr std::string_view kPushConfigIdRequired = "TESSIK_A2A_PUSH_CONFIG_ID_REQUIRED";
inline constexpr std::string_view kTaskIdMismatch = "TESSIK_A2A_TASK_ID_MISMATCH";
inline constexpr std::string_view kTaskIdRequired = "TESSIK_A2A_TASK_ID_REQUIRED";
inline constexpr std::string_view kListInvalid = "TESSIK_A2A_LIST_INVALID";
inline constexpr std::string_view kPageTokenInvalid = "TESSIK_A2A_PAGE_TOKEN_INVALID";
inline constexpr std::string_view kHistoryLengthInvalid = "TESSIK_A2A_HISTORY_LENGTH_INVALID";
inline constexpr std::string_view kParamsRequired = "TESSIK_A2A_PARAMS_REQUIRED";
inline constexpr std::string_view kParamsInvalid = "TESSIK_A2A_PARAMS_INVALID";
inline constexpr std::string_view kCreateInvalid = "TESSIK_A2A_CREATE_INVALID";
inline constexpr std::string_view kInvalidJsonRpcRequest = "TESSIK_A2A_JSONRPC_INVALID_REQUEST";
inline constexpr std::string_view kInvalidJsonRpcBatch = "TESSIK_A2A_JSONRPC_INVALID_BATCH";
inline constexpr std::string_view kJsonRpcBatchAnswerFull = "TESSIK_A2A_JSONRPC_BATCH_ANSWER_FULL";
inline constexpr std::string_view kJsonRpcMethodMissing = "TESSIK_A2A_JSONRPC_METHOD_NOT_FOUND";
inline constexpr std::string_view kTaskNotSubscribable = "TESSIK_A2A_TASK_NOT_SUBSCRIBABLE";
}  // namespace local_code

// How a local code is answered on each binding. 0 means the code does not occur as an error
// on that binding (it becomes a rejected task, or belongs to the other binding only).
// Where the HTTP status depends on the operation, `http_status` is the first one the
// catalogue names (503 for SERVER_STOPPING, 501 for streaming, 500 for a corrupt task on send).
struct LocalCodeInfo {
  std::string_view code;
  int http_status;
  int json_rpc_code;
};

// The catalogue entry of `code` (exact comparison); nullptr for a code outside it.
const LocalCodeInfo* find_local_code(std::string_view code);

// The fixed refusals of routing and authentication, in their final wording.
GatewayResponse server_stopping_error();
GatewayResponse route_not_found_error();
GatewayResponse agent_not_found_error();
GatewayResponse provider_not_found_error();
GatewayResponse version_not_supported_error(std::string_view version);  // HTTP 400
GatewayResponse version_not_supported_json_rpc_error(std::string_view id, std::string_view version);
GatewayResponse content_type_json_rpc_error(std::string_view id);
GatewayResponse token_not_configured_error();
GatewayResponse auth_required_error();  // 401 with the "Bearer" challenge
GatewayResponse auth_invalid_error();   // 401 with the invalid_token challenge
GatewayResponse scope_denied_error(std::string_view message);
// A body that nests deeper than kMaxJsonNestingDepth: 400 on HTTP+JSON, -32600 with id null on
// JSON-RPC.
GatewayResponse json_too_deep_error(bool json_rpc);
GatewayResponse streaming_not_implemented_error();  // HTTP 501

// "A2A protocol version is not supported by this interface: " + version.
std::string version_not_supported_message(std::string_view version);
inline constexpr std::string_view kContentTypeNotSupportedMessage =
    "Content type is not supported.";
inline constexpr std::string_view kStreamingNotImplementedMessage =
    "Streaming is not implemented by this A2A interface.";

}  // namespace tessik
