// a2a/jsonrpc/: the JSON-RPC 2.0 binding (1.0 and 0.3 method names) over the gateway front.
// The JSON-RPC binding: envelope checks, batches, and dispatch of one call to the operation
// that owns its method. The batch-aware entry is handle_json_rpc in route_handlers.h.
#pragma once

#include <cstddef>
#include <string_view>

#include "a2a/gateway/gateway_call.h"
#include "wire/envelope.h"

namespace tessik {

// Larger batches are refused whole, before any element runs.
inline constexpr std::size_t kMaxJsonRpcBatchElements = 1000;
// What the answers of one batch may add up to. The broker sends the answer as an escaped JSON
// string inside one frame; escaping at most doubles JSON text, and the short refusals of
// elements past this budget need room too.
inline constexpr std::size_t kJsonRpcBatchAnswerBudgetBytes = 3u << 20;

// One call; `call.request.body` is a single request object (already valid JSON). Every
// refusal is a JSON-RPC error with HTTP 200; the caller decides whether a notification's
// answer is sent at all. Never throws for anything a client sends.
GatewayResponse handle_json_rpc_call(const GatewayCall& call);

// The body has no "id" member and its "jsonrpc" is exactly the string "2.0".
bool is_json_rpc_notification(std::string_view body);
// A JSON string literal (at least two characters, quoted at both ends) or a decimal integer
// with an optional leading minus sign.
bool is_valid_json_rpc_id(std::string_view id);
// The method name is in the method table and no row of that name is supported.
bool is_streaming_method(std::string_view method);

// The protocol version methods are looked up with: "0.3" when the request asks for 0.3,
// otherwise "1.0".
std::string_view json_rpc_lookup_version(const GatewayRequest& request);

}  // namespace tessik
