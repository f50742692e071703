// The JSON-RPC entry: a single call or a batch. A batch answers one element per element that
// is not a notification, in order, whatever the elements hold.
#include <nlohmann/json.hpp>

#include "a2a/gateway/error_catalog.h"
#include "a2a/gateway/errors.h"
#include "a2a/gateway/route_handlers.h"
#include "a2a/jsonrpc/json_raw.h"
#include "a2a/jsonrpc/json_rpc.h"
#include "base/text.h"

namespace tessik {
namespace {

GatewayResponse no_content() {
  GatewayResponse response;
  response.status = 204;
  response.content_type = "application/json";
  return response;
}

bool is_json_object_text(std::string_view text) {
  return !text.empty() && text.front() == '{';
}

bool has_streaming_method(std::string_view element) {
  const nlohmann::json request = nlohmann::json::parse(element, nullptr, false);
  const auto method = request.find("method");
  return method != request.end() && method->is_string() &&
         is_streaming_method(method->get<std::string>());
}

// The answer body of one element, or "" when the element is a notification.
std::string answer_element(const GatewayCall& call, std::string_view element) {
  if (!is_json_object_text(element)) {
    return make_json_rpc_error("null", kJsonRpcInvalidRequest, "Invalid Request",
                               local_code::kInvalidJsonRpcRequest)
        .body;
  }
  if (has_streaming_method(element)) {
    return make_json_rpc_error(json_rpc_id(element), kJsonRpcUnsupportedOperation,
                               "Streaming methods are not allowed in a JSON-RPC batch.",
                               local_code::kUnsupportedOperation)
        .body;
  }
  GatewayRequest request = call.request;
  request.body = std::string(element);
  const GatewayCall element_call{
      request,   call.principal, call.context, call.registry,     call.evidence,
      call.stop, call.method,    call.paths,   call.scoped_agent, call.scoped_provider};
  GatewayResponse response = handle_json_rpc_call(element_call);
  if (is_json_rpc_notification(element)) return "";
  return std::move(response.body);
}

GatewayResponse handle_batch(const GatewayCall& call, std::string_view body) {
  const auto elements = raw_json_array_elements(body);
  if (!elements || elements->empty()) {
    return make_json_rpc_error("null", kJsonRpcInvalidRequest, "Invalid Request",
                               local_code::kInvalidJsonRpcBatch);
  }
  std::string answers;
  for (const std::string& element : *elements) {
    std::string answer = answer_element(call, element);
    if (answer.empty()) continue;
    answers += answers.empty() ? '[' : ',';
    answers += answer;
  }
  if (answers.empty()) return no_content();
  answers += ']';
  GatewayResponse response;
  response.status = 200;
  response.content_type = "application/json";
  response.body = std::move(answers);
  return response;
}

}  // namespace

GatewayResponse handle_json_rpc(const GatewayCall& call) {
  const std::string body = trim(call.request.body);
  if (!body.empty() && body.front() == '[') return handle_batch(call, body);
  GatewayResponse response = handle_json_rpc_call(call);
  if (is_json_rpc_notification(call.request.body)) return no_content();
  return response;
}

}  // namespace tessik
