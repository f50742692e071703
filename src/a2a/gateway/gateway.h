// a2a/gateway/: the front of the A2A gateway. Paths, the operation table, request gates,
// authentication, scopes, errors and the HTTP+JSON routes; JSON-RPC, cards, tasks, intake and
// push live in the sibling folders.
// The A2A gateway handler: one GatewayRequest in, one GatewayResponse out.
#pragma once

#include <stop_token>

#include "a2a/gateway/gateway_context.h"
#include "registry/registry.h"
#include "state/evidence_log.h"
#include "wire/envelope.h"

namespace tessik {

// Handles one request on the caller's thread, applying in order: the stop check, path
// normalisation and scoping, the version gate, the public gateway card, the content-type and
// body gates, authentication, the agent and provider scopes, the listings, route existence,
// JSON-RPC, and the operation routes. Authentication reads the broker's principal from
// `context.principal`; `principal` is the same record and is kept for the broker's call shape.
// Expected refusals come back as error responses. Registry failures and card refusals
// (std::invalid_argument) propagate to the caller's request boundary.
GatewayResponse handle_a2a_request(const GatewayRequest& request, const Principal& principal,
                                   const GatewayContext& context, Registry& registry,
                                   const EvidenceLog& evidence, std::stop_token stop);

}  // namespace tessik
