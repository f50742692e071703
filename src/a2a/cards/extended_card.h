// The authenticated extended card of the endpoint a request reached: the gateway's, a
// wrapped agent's or a provider factory's. Shared by both bindings.
#pragma once

#include <string>

#include "a2a/gateway/gateway_call.h"

namespace tessik {

// The card document for the call's scope (the caller has checked "agent.read").
std::string render_extended_card(const GatewayCall& call);

}  // namespace tessik
