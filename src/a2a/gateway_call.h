// One request as the gateway's route handlers see it after the front gates have passed.
#pragma once

#include <optional>
#include <stop_token>
#include <string>

#include "a2a/paths.h"
#include "a2a/provider_factories.h"
#include "broker/envelope.h"
#include "broker/evidence_log.h"
#include "broker/gateway_context.h"
#include "registry/agent_record.h"
#include "registry/registry.h"

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
