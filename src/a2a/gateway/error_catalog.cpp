// The local code catalogue and the fixed refusals built from it.
#include "a2a/gateway/error_catalog.h"

#include <array>
#include <string>

#include "a2a/gateway/errors.h"
#include "base/json_depth.h"

namespace tessik {
namespace {

using namespace local_code;

constexpr std::array<LocalCodeInfo, 42> kCatalogue = {{
    {kServerStopping, 503, 0},
    {kRouteNotFound, 404, 0},
    {kAgentNotFound, 404, 0},
    {kProviderNotFound, 404, 0},
    {kVersionNotSupported, 400, kJsonRpcVersionNotSupported},
    {kContentTypeNotSupported, 415, kJsonRpcContentTypeNotSupported},
    {kJsonParseError, 400, kJsonRpcParseError},
    {kJsonTooDeep, 400, kJsonRpcInvalidRequest},
    {kTokenNotConfigured, 503, 0},
    {kAuthRequired, 401, 0},
    {kAuthInvalid, 401, 0},
    {kScopeDenied, 403, kJsonRpcPermissionDenied},
    {kUnsupportedOperation, 501, kJsonRpcUnsupportedOperation},
    {kTaskNotFoundError, 404, kJsonRpcTaskNotFound},
    {kTaskNotFound, 404, kJsonRpcTaskNotFound},
    {kTaskNotCancelable, 409, kJsonRpcTaskNotCancelable},
    {kTaskCorrupt, 500, kJsonRpcInternalError},
    {kContextMismatch, 400, kJsonRpcInvalidParams},
    {kTargetMismatch, 400, kJsonRpcInvalidParams},
    {kScopedTargetMismatch, 400, kJsonRpcInvalidParams},
    {kDuplicateTaskId, 400, kJsonRpcInvalidParams},
    {kSendInvalid, 400, kJsonRpcInvalidParams},
    {kTargetRequired, 0, kJsonRpcInvalidParams},
    {kTextRequired, 0, 0},
    {kTargetNotFound, 0, 0},
    {kSenderRequired, 0, 0},
    {kPushConfigInvalid, 400, kJsonRpcInvalidParams},
    {kPushConfigStorageFailed, 500, kJsonRpcInternalError},
    {kPushConfigIdRequired, 0, kJsonRpcInvalidParams},
    {kTaskIdMismatch, 400, kJsonRpcInvalidParams},
    {kTaskIdRequired, 0, kJsonRpcInvalidParams},
    {kListInvalid, 400, kJsonRpcInvalidParams},
    {kPageTokenInvalid, 400, kJsonRpcInvalidParams},
    {kHistoryLengthInvalid, 400, kJsonRpcInvalidParams},
    {kParamsRequired, 0, kJsonRpcInvalidParams},
    {kParamsInvalid, 0, kJsonRpcInvalidParams},
    {kCreateInvalid, 0, kJsonRpcInvalidParams},
    {kInvalidJsonRpcRequest, 0, kJsonRpcInvalidRequest},
    {kInvalidJsonRpcBatch, 0, kJsonRpcInvalidRequest},
    {kJsonRpcBatchAnswerFull, 0, kJsonRpcInternalError},
    {kJsonRpcMethodMissing, 0, kJsonRpcMethodNotFound},
    {kTaskNotSubscribable, 0, 0},
}};

GatewayResponse with_challenge(GatewayResponse response, std::string challenge) {
  response.headers["WWW-Authenticate"] = std::move(challenge);
  return response;
}

}  // namespace

const LocalCodeInfo* find_local_code(std::string_view code) {
  for (const LocalCodeInfo& info : kCatalogue) {
    if (info.code == code) return &info;
  }
  return nullptr;
}

std::string version_not_supported_message(std::string_view version) {
  return "A2A protocol version is not supported by this interface: " + std::string(version);
}

GatewayResponse server_stopping_error() {
  return make_http_error(503, kServerStopping,
                         "A2A request was cancelled because the server is stopping.");
}

GatewayResponse route_not_found_error() {
  return make_http_error(404, kRouteNotFound, "A2A route not found");
}

GatewayResponse agent_not_found_error() {
  return make_http_error(404, kAgentNotFound, "A2A agent not found");
}

GatewayResponse provider_not_found_error() {
  return make_http_error(404, kProviderNotFound, "A2A provider factory not found");
}

GatewayResponse version_not_supported_error(std::string_view version) {
  return make_http_error(400, kVersionNotSupported, version_not_supported_message(version));
}

GatewayResponse version_not_supported_json_rpc_error(std::string_view id,
                                                     std::string_view version) {
  return make_json_rpc_error(id, kJsonRpcVersionNotSupported,
                             version_not_supported_message(version), kVersionNotSupported);
}

GatewayResponse content_type_json_rpc_error(std::string_view id) {
  return make_json_rpc_error(id, kJsonRpcContentTypeNotSupported, kContentTypeNotSupportedMessage,
                             kContentTypeNotSupported);
}

GatewayResponse token_not_configured_error() {
  return make_http_error(
      503, kTokenNotConfigured,
      "A2A HTTP auth is required but no local bearer token or client registry is configured.");
}

GatewayResponse auth_required_error() {
  return with_challenge(
      make_http_error(401, kAuthRequired, "A2A request requires Authorization: Bearer <token>."),
      "Bearer");
}

GatewayResponse auth_invalid_error() {
  return with_challenge(make_http_error(401, kAuthInvalid, "A2A bearer token was not accepted."),
                        "Bearer error=\"invalid_token\"");
}

GatewayResponse scope_denied_error(std::string_view message) {
  return make_http_error(403, kScopeDenied, message);
}

GatewayResponse json_too_deep_error(bool json_rpc) {
  const std::string message = "Request body nests arrays and objects deeper than " +
                              std::to_string(kMaxJsonNestingDepth) + " levels.";
  return json_rpc ? make_json_rpc_error("null", kJsonRpcInvalidRequest, message, kJsonTooDeep)
                  : make_http_error(400, kJsonTooDeep, message);
}

GatewayResponse streaming_not_implemented_error() {
  return make_http_error(501, kUnsupportedOperation, kStreamingNotImplementedMessage);
}

}  // namespace tessik
