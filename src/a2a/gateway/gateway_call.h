// One request as the gateway's route handlers see it after the front gates have passed.
#pragma once

#include <optional>
#include <stop_token>
#include <string>

#include "a2a/cards/provider_factories.h"
#include "a2a/gateway/gateway_context.h"
#include "a2a/gateway/paths.h"
#include "registry/agent_record.h"
#include "registry/registry.h"
#include "state/evidence_log.h"
#include "wire/envelope.h"

namespace tessik {

// Borrowed views of the request and its environment plus what routing worked out. Lives for
// one call of handle_a2a_request on the broker thread; handlers must not keep references.
struct GatewayCall {
  const GatewayRequest& request;
  const Principal& principal;  // the authenticated caller; anonymous when auth is off
  const GatewayContext& context;
  Registry& registry;
  const EvidenceLog& evidence;
  std::stop_token stop;

  std::string method;  // trimmed, lower-case
  EffectivePath paths;
  std::optional<AgentRecord> scoped_agent;         // set inside "/agents/<id>/..."
  std::optional<ProviderFactory> scoped_provider;  // set inside "/providers/<id>/..."
};

}  // namespace tessik
