// The operations behind the JSON-RPC methods, after the envelope, availability and scope
// checks of the call have passed. Each answers a JSON-RPC result or error for `request.id`.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "a2a/gateway/gateway_call.h"
#include "wire/envelope.h"

namespace tessik {

// One validated JSON-RPC request.
struct JsonRpcRequest {
  std::string id;                          // raw id text, "null" when absent
  std::string method;                      // the exact method name
  std::string version;                     // "1.0" or "0.3", the lookup version
  std::optional<std::string> params_text;  // raw "params" text, trimmed; nullopt when absent
  nlohmann::json params;                   // parsed "params"; discarded when absent
};

GatewayResponse json_rpc_send_message(const GatewayCall& call, const JsonRpcRequest& request);
GatewayResponse json_rpc_get_task(const GatewayCall& call, const JsonRpcRequest& request);
GatewayResponse json_rpc_list_tasks(const GatewayCall& call, const JsonRpcRequest& request);
GatewayResponse json_rpc_cancel_task(const GatewayCall& call, const JsonRpcRequest& request);
GatewayResponse json_rpc_extended_card(const GatewayCall& call, const JsonRpcRequest& request);
// The push-configuration methods (a2a/push/push_config_routes.cpp).
GatewayResponse json_rpc_create_push_config(const GatewayCall& call, const JsonRpcRequest& request);
GatewayResponse json_rpc_get_push_config(const GatewayCall& call, const JsonRpcRequest& request);
GatewayResponse json_rpc_list_push_configs(const GatewayCall& call, const JsonRpcRequest& request);
GatewayResponse json_rpc_delete_push_config(const GatewayCall& call, const JsonRpcRequest& request);

}  // namespace tessik
