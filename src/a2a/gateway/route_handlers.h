// The operations behind the gateway's routes that live outside the routing front. Routing
// calls each one after its own gates: version, content type, body shape, authentication,
// scope resolution and the operation's scope check have all passed, so a handler starts from
// the operation itself.
#pragma once

#include "a2a/gateway/gateway_call.h"
#include "wire/envelope.h"

namespace tessik {

// POST on a JSON-RPC root endpoint ("/", "/rpc", "/jsonrpc", also inside a scope). The body
// has parsed as JSON; no scope has been checked (each method checks its own).
GatewayResponse handle_json_rpc(const GatewayCall& call);

// POST "/message:send" outside a provider scope (scope "agent.send" checked).
GatewayResponse handle_send_message(const GatewayCall& call);
// POST "/message:send" inside a provider scope (scope "agent.create" checked).
GatewayResponse handle_provider_create(const GatewayCall& call);

// Task routes; scopes "task.read" (get, list) and "task.cancel" checked.
GatewayResponse handle_get_task(const GatewayCall& call);
GatewayResponse handle_list_tasks(const GatewayCall& call);
GatewayResponse handle_cancel_task(const GatewayCall& call);

// Push-configuration routes; "task.push" or "task.admin" checked.
GatewayResponse handle_create_push_config(const GatewayCall& call);
GatewayResponse handle_list_push_configs(const GatewayCall& call);
GatewayResponse handle_get_push_config(const GatewayCall& call);
GatewayResponse handle_delete_push_config(const GatewayCall& call);

}  // namespace tessik
