// Card and listing rendering. nlohmann::json objects keep keys in byte order, which is what
// makes equal content render to equal bytes (and stable ETags).
#include "a2a/cards/cards.h"

#include <algorithm>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <utility>

#include "a2a/gateway/operation_table.h"
#include "base/text.h"
#include "registry/normalization.h"

namespace tessik {
namespace {

using nlohmann::json;

std::string render_card(const json& card) {
  return card.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

std::string render_compact(const json& document) {
  return document.dump(-1, ' ', false, json::error_handler_t::replace);
}

json make_skill(std::string_view id, std::string_view name, std::string_view description, json tags,
                json input_modes, json output_modes) {
  return {{"id", id},
          {"name", name},
          {"description", description},
          {"tags", std::move(tags)},
          {"inputModes", std::move(input_modes)},
          {"outputModes", std::move(output_modes)}};
}

json gateway_skills() {
  return json::array({
      make_skill("tessik.registry.discover-providers", "Discover provider factories",
                 "Lists provider-level A2A factories that create and enroll new provider "
                 "sessions.",
                 {"tessik", "registry", "providers", "creation"}, {"text/plain"},
                 {"application/json"}),
      make_skill("tessik.registry.discover-agents", "Discover Tessik agents",
                 "Lists individually addressable A2A agents currently exposed by this Tessik "
                 "gateway.",
                 {"tessik", "registry", "discovery"}, {"text/plain"}, {"application/json"}),
      make_skill("tessik.gateway.route-message", "Route a message",
                 "Routes a message to one explicitly selected registered Tessik agent.",
                 {"tessik", "routing", "messaging"}, {"text/plain"}, {"text/plain"}),
  });
}

std::string scheme_name(const CardRenderOptions& options) {
  std::string name = trim(options.security_scheme_name);
  return name.empty() ? "localBearer" : name;
}

json security_scope_list(const CardRenderOptions& options) {
  std::vector<std::string> scopes;
  for (const std::string& scope : options.security_scopes) {
    std::string trimmed = trim(scope);
    if (!trimmed.empty()) scopes.push_back(std::move(trimmed));
  }
  std::sort(scopes.begin(), scopes.end());
  scopes.erase(std::unique(scopes.begin(), scopes.end()), scopes.end());
  return scopes;
}

json gateway_card_document(const CardRenderOptions& options) {
  const std::string& url = options.endpoint_url;
  json interfaces = json::array();
  json additional = json::array();
  if (is_binding_supported("http-json")) {
    interfaces.push_back(
        {{"url", url}, {"protocolBinding", "HTTP+JSON"}, {"protocolVersion", "1.0"}});
    additional.push_back({{"url", url}, {"transport", "HTTP+JSON"}});
  }
  if (is_binding_supported("json-rpc")) {
    interfaces.push_back(
        {{"url", url}, {"protocolBinding", "JSONRPC"}, {"protocolVersion", "1.0"}});
    additional.push_back({{"url", url}, {"transport", "JSONRPC"}});
  }
  json card = {
      {"name", "Tessik Local A2A Gateway"},
      {"description",
       "A2A gateway for discovering and routing to individually exposed Tessik agents."},
      {"version", "0.1.0"},
      {"url", url},
      {"protocolVersion", "0.3"},
      {"preferredTransport", "JSONRPC"},
      {"supportsAuthenticatedExtendedCard", options.require_auth},
      {"capabilities",
       {{"streaming", is_capability_supported("streaming")},
        {"pushNotifications", is_capability_supported("pushNotifications")},
        {"extendedAgentCard", is_capability_supported("extendedAgentCard")}}},
      {"defaultInputModes", {"text/plain"}},
      {"defaultOutputModes", {"text/plain"}},
      {"supportedInterfaces", std::move(interfaces)},
      {"additionalInterfaces", std::move(additional)},
      {"skills", gateway_skills()},
  };
  if (options.require_auth) {
    const std::string name = scheme_name(options);
    json scheme = json::object();
    scheme["httpAuthSecurityScheme"] = {{"description", "Local Tessik A2A bearer token."},
                                        {"scheme", "Bearer"},
                                        {"bearerFormat", "opaque"}};
    card["securitySchemes"] = json::object();
    card["securitySchemes"][name] = std::move(scheme);
    json requirement = json::object();
    requirement[name] = security_scope_list(options);
    card["securityRequirements"] = json::array({requirement});
    card["security"] = json::array({requirement});
  }
  return card;
}

std::string joined_url(std::string_view endpoint_url, std::string_view kind, std::string_view id,
                       std::string_view tail) {
  return card_url_base(endpoint_url) + "/" + std::string(kind) + "/" + std::string(id) +
         std::string(tail);
}

}  // namespace

CardRenderOptions make_card_options(const GatewayContext& context, bool extended,
                                    bool authenticated) {
  CardRenderOptions options;
  options.endpoint_url = context.endpoint_url;
  options.require_auth = context.require_auth;
  options.extended = extended;
  options.authenticated = authenticated;
  options.security_scheme_name = context.security_scheme_name;
  options.card_texts = context.card_texts;
  options.security_scopes = context.security_scopes;
  return options;
}

std::string card_url_base(std::string_view endpoint_url) {
  std::string base = trim(endpoint_url);
  while (base.size() > 1 && base.back() == '/')
    base.pop_back();
  return base;
}

std::string agent_endpoint_url(std::string_view endpoint_url, std::string_view public_id) {
  return joined_url(endpoint_url, "agents", public_id, "/a2a");
}

std::string agent_card_url(std::string_view endpoint_url, std::string_view public_id) {
  return joined_url(endpoint_url, "agents", public_id, "/.well-known/agent-card.json");
}

std::string factory_endpoint_url(std::string_view endpoint_url, std::string_view factory_id) {
  return joined_url(endpoint_url, "providers", factory_id, "/a2a");
}

std::string factory_card_url(std::string_view endpoint_url, std::string_view factory_id) {
  return joined_url(endpoint_url, "providers", factory_id, "/.well-known/agent-card.json");
}

std::string render_gateway_card(const CardRenderOptions& options) {
  static std::mutex mutex;
  static std::optional<std::pair<CardRenderOptions, std::string>> last;
  std::lock_guard lock(mutex);
  if (!last || last->first != options) {
    last.emplace(options, render_card(gateway_card_document(options)));
  }
  return last->second;
}

std::string render_wrapped_agent_card(const AgentRecord& agent, const CardRenderOptions& options) {
  const bool export_eligible = is_agent_export_eligible(agent);
  if (!is_agent_a2a_exposed(agent) || !(export_eligible || options.extended)) {
    throw std::invalid_argument("agent is not eligible for A2A exposure");
  }
  const bool sendable = is_agent_deliverable(agent);
  const std::string& public_id = agent.public_agent_id;
  const std::string brand = provider_brand(agent.provider);
  const std::string surface = provider_surface(agent.provider);

  json card = gateway_card_document(options);
  card["name"] = agent.display_name;
  card["description"] = "Tessik-wrapped " + brand + " " + surface +
                        (sendable ? " agent." : " agent, currently unavailable for delivery.");
  const json tags = {"wrapped-provider", "provider:" + brand, "surface:" + surface,
                     agent.sendable ? "sendable" : "not-sendable"};
  json skill;
  if (sendable) {
    skill = make_skill("tessik.chat", "Chat",
                       "Sends a text message to this specific wrapped agent and returns its task "
                       "result.",
                       tags, {"text/plain"}, {"text/plain"});
    skill["metadata"] = {{"tessikTargetId", public_id},
                         {"tessikTargetKind", "known-chat"},
                         {"tessikProvider", agent.provider},
                         {"tessikProviderBrand", brand},
                         {"tessikProviderSurface", surface}};
  } else {
    skill = make_skill("tessik.session.status", "Session status",
                       "Reports the registered session identity and its current delivery "
                       "availability.",
                       tags, {"text/plain"}, {"application/json"});
    skill["metadata"] = {{"tessikTargetId", public_id},
                         {"tessikTargetKind", "known-chat"},
                         {"tessikSendable", false}};
  }
  card["skills"] = json::array({std::move(skill)});
  json metadata = {{"tessikAgentId", public_id},
                   {"tessikAgentKind", "wrapped-provider-session"},
                   {"tessikProvider", agent.provider},
                   {"tessikProviderBrand", brand},
                   {"tessikProviderSurface", surface},
                   {"tessikSendable", sendable},
                   {"tessikExportEligible", export_eligible}};
  if (options.authenticated) {
    const std::string node = trim(agent.node_id);
    metadata["tessikProviderSessionId"] = agent.provider_session_id;
    metadata["tessikNodeId"] = node.empty() ? "local" : node;
    metadata["tessikSourceOfTruth"] = agent.source;
  }
  card["metadata"] = std::move(metadata);
  return render_card(card);
}

std::string render_provider_factory_card(const ProviderFactory& factory,
                                         const CardRenderOptions& options) {
  if (!factory.create_supported || trim(factory.name).empty()) {
    throw std::invalid_argument("provider factory does not support creation");
  }
  json card = gateway_card_document(options);
  card["name"] = factory.name + " Agent Factory";
  card["description"] = "Creates and enrolls a new " + factory.name +
                        " session through Tessik's provider-native creation workflow.";
  json skill = make_skill(
      "tessik.create-agent", "Create agent",
      "Creates a provider session, enrolls its stable identity, and returns its scoped Agent "
      "Card.",
      {"tessik", "provider:" + factory.brand, "surface:" + factory.surface,
       factory.detected ? "detected" : "not-detected"},
      {"text/plain", "application/json"}, {"application/json"});
  skill["metadata"] = {{"tessikTargetId", factory.id},
                       {"tessikTargetKind", "provider-factory"},
                       {"tessikProvider", factory.provider},
                       {"tessikProviderBrand", factory.brand},
                       {"tessikProviderSurface", factory.surface},
                       {"tessikDetected", factory.detected}};
  card["skills"] = json::array({std::move(skill)});
  json metadata = {{"tessikAgentId", factory.id},
                   {"tessikAgentKind", "provider-factory"},
                   {"tessikProvider", factory.provider},
                   {"tessikProviderBrand", factory.brand},
                   {"tessikProviderSurface", factory.surface},
                   {"tessikDetected", factory.detected},
                   {"tessikCreateSupported", factory.create_supported}};
  if (options.authenticated) metadata["tessikDetectionEvidence"] = factory.detection_evidence;
  card["metadata"] = std::move(metadata);
  return render_card(card);
}

std::string render_agent_listing(const std::vector<AgentRecord>& agents,
                                 const GatewayContext& context) {
  std::vector<const AgentRecord*> listed;
  for (const AgentRecord& agent : agents) {
    if (is_agent_export_eligible(agent) && is_agent_a2a_exposed(agent)) listed.push_back(&agent);
  }
  std::stable_sort(listed.begin(), listed.end(), [](const AgentRecord* a, const AgentRecord* b) {
    return a->public_agent_id < b->public_agent_id;
  });
  json entries = json::array();
  for (const AgentRecord* agent : listed) {
    entries.push_back(
        {{"id", agent->public_agent_id},
         {"name", agent->display_name},
         {"provider", provider_brand(agent->provider)},
         {"surface", provider_surface(agent->provider)},
         {"sendable", is_agent_deliverable(*agent)},
         {"agentCardUrl", agent_card_url(context.endpoint_url, agent->public_agent_id)},
         {"endpointUrl", agent_endpoint_url(context.endpoint_url, agent->public_agent_id)}});
  }
  const std::size_t count = entries.size();
  return render_compact({{"schemaVersion", 1}, {"agents", std::move(entries)}, {"count", count}});
}

std::string render_provider_listing(const std::vector<ProviderFactory>& factories,
                                    const GatewayContext& context) {
  json entries = json::array();
  for (const ProviderFactory& factory : factories) {
    entries.push_back({{"id", factory.id},
                       {"name", factory.name},
                       {"provider", factory.provider},
                       {"brand", factory.brand},
                       {"surface", factory.surface},
                       {"detected", factory.detected},
                       {"createSupported", factory.create_supported},
                       {"agentCardUrl", factory_card_url(context.endpoint_url, factory.id)},
                       {"endpointUrl", factory_endpoint_url(context.endpoint_url, factory.id)}});
  }
  const std::size_t count = entries.size();
  return render_compact(
      {{"schemaVersion", 1}, {"providers", std::move(entries)}, {"count", count}});
}

}  // namespace tessik
