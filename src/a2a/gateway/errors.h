// The gateway's two error shapes (HTTP+JSON and JSON-RPC), the JSON-RPC success envelope,
// and the maps from local code to A2A reason and from HTTP status to status word.
// The builders never fail, whatever their input.
#pragma once

#include <string>
#include <string_view>

#include "wire/envelope.h"

namespace tessik {

inline constexpr const char* kErrorInfoTypeUrl = "type.googleapis.com/google.rpc.ErrorInfo";
inline constexpr const char* kA2aErrorDomain = "a2a-protocol.org";

// JSON-RPC codes by meaning.
inline constexpr int kJsonRpcParseError = -32700;
inline constexpr int kJsonRpcInvalidRequest = -32600;
inline constexpr int kJsonRpcMethodNotFound = -32601;
inline constexpr int kJsonRpcInvalidParams = -32602;
inline constexpr int kJsonRpcInternalError = -32603;
inline constexpr int kJsonRpcTaskNotFound = -32001;
inline constexpr int kJsonRpcTaskNotCancelable = -32002;
inline constexpr int kJsonRpcUnsupportedOperation = -32004;
inline constexpr int kJsonRpcContentTypeNotSupported = -32005;
inline constexpr int kJsonRpcVersionNotSupported = -32009;
inline constexpr int kJsonRpcPermissionDenied = -32099;

// The trimmed local code mapped to its A2A reason; unknown codes map to themselves.
std::string a2a_error_reason(std::string_view local_code);
// "INVALID_ARGUMENT", "UNAUTHENTICATED", ... for an HTTP status.
std::string http_status_word(int status);

// HTTP+JSON error: the given status, a one-line body with code, status word, message and an
// ErrorInfo detail carrying the reason and the local code.
GatewayResponse make_http_error(int status, std::string_view local_code, std::string_view message);

// JSON-RPC error (HTTP 200). `id` is raw JSON text: a string literal, a number or "null".
// The ErrorInfo list under "data" is present only when the trimmed local code is non-empty.
GatewayResponse make_json_rpc_error(std::string_view id, int code, std::string_view message,
                                    std::string_view local_code);
// JSON-RPC success (HTTP 200); `result_json` is inserted as it is.
GatewayResponse make_json_rpc_result(std::string_view id, std::string_view result_json);

GatewayResponse http_json_parse_error();
GatewayResponse json_rpc_parse_error();
GatewayResponse content_type_error(std::string_view message);

}  // namespace tessik
