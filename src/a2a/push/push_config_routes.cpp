// The push-configuration routes of both bindings. Push configurations are refused outright
// rather than stored unused: a client must not believe callbacks are registered.
#include "a2a/gateway/error_catalog.h"
#include "a2a/gateway/errors.h"
#include "a2a/gateway/route_handlers.h"
#include "a2a/jsonrpc/json_rpc_operations.h"
#include "a2a/push/push_config_refusal.h"

namespace tessik {

GatewayResponse push_configs_not_accepted_http() {
  return make_http_error(400, local_code::kPushConfigInvalid, kPushConfigsNotAcceptedMessage);
}

GatewayResponse push_configs_not_accepted_json_rpc(std::string_view id) {
  return make_json_rpc_error(id, kJsonRpcInvalidParams, kPushConfigsNotAcceptedMessage,
                             local_code::kPushConfigInvalid);
}

GatewayResponse handle_create_push_config(const GatewayCall&) {
  return push_configs_not_accepted_http();
}
GatewayResponse handle_list_push_configs(const GatewayCall&) {
  return push_configs_not_accepted_http();
}
GatewayResponse handle_get_push_config(const GatewayCall&) {
  return push_configs_not_accepted_http();
}
GatewayResponse handle_delete_push_config(const GatewayCall&) {
  return push_configs_not_accepted_http();
}

GatewayResponse json_rpc_push_config(const GatewayCall&, const JsonRpcRequest& request) {
  return push_configs_not_accepted_json_rpc(request.id);
}

}  // namespace tessik
