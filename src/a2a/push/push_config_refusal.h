// a2a/push/: push-notification configurations and their routes.
// The answer every push-configuration operation gives while this gateway accepts no push
// configurations: HTTP 400 / JSON-RPC -32602 with "TESSIK_A2A_PUSH_CONFIG_INVALID".
#pragma once

#include <string_view>

#include "wire/envelope.h"

namespace tessik {

inline constexpr std::string_view kPushConfigsNotAcceptedMessage =
    "Push notification configurations are not yet accepted by this gateway.";

GatewayResponse push_configs_not_accepted_http();
GatewayResponse push_configs_not_accepted_json_rpc(std::string_view id);

}  // namespace tessik
