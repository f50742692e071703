// The A2A gateway handler: one GatewayRequest in, one GatewayResponse out.
#pragma once

#include <stop_token>

#include "broker/envelope.h"
#include "broker/evidence_log.h"
#include "broker/gateway_context.h"
#include "registry/registry.h"

namespace tessik {

// Handles one request on the caller's thread. Expected refusals come back as error responses;
// file-system and registry failures may throw and are converted by the caller's boundary.
GatewayResponse handle_a2a_request(const GatewayRequest& request, const Principal& principal,
                                   const GatewayContext& context, Registry& registry,
                                   const EvidenceLog& evidence, std::stop_token stop);

}  // namespace tessik
