// a2a/cards/: every Agent Card the gateway serves and the agent and provider listings.
// Agent Cards (the gateway's, wrapped agents', provider factories') and the agent and
// provider listings. Output is byte-stable: keys in ascending byte order, cards indented by
// two spaces with a final line feed, listings compact.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "a2a/cards/provider_factories.h"
#include "a2a/gateway/gateway_context.h"
#include "registry/agent_record.h"

namespace tessik {

struct CardRenderOptions {
  std::string endpoint_url;
  bool require_auth = false;
  bool extended = false;       // the authenticated extended card
  bool authenticated = false;  // private details may be shown
  std::string security_scheme_name;
  std::array<std::string, 4> card_texts;
  std::vector<std::string> security_scopes;

  bool operator==(const CardRenderOptions&) const = default;
};

CardRenderOptions make_card_options(const GatewayContext& context, bool extended,
                                    bool authenticated);

// The endpoint URL trimmed, with trailing '/' removed while more than one character remains.
std::string card_url_base(std::string_view endpoint_url);
std::string agent_endpoint_url(std::string_view endpoint_url, std::string_view public_id);
std::string agent_card_url(std::string_view endpoint_url, std::string_view public_id);
std::string factory_endpoint_url(std::string_view endpoint_url, std::string_view factory_id);
std::string factory_card_url(std::string_view endpoint_url, std::string_view factory_id);

// Pure in `options`; the last rendering is kept and returned again for equal options, since
// the broker answers the same public card over and over. Thread-safe.
std::string render_gateway_card(const CardRenderOptions& options);

// Throws std::invalid_argument("agent is not eligible for A2A exposure") when the agent is
// not exposed, or not export-eligible outside the extended card. `options.endpoint_url` must
// already be the agent's endpoint.
std::string render_wrapped_agent_card(const AgentRecord& agent, const CardRenderOptions& options);

// Throws std::invalid_argument("provider factory does not support creation") for a factory
// that cannot create or has no display name. `options.endpoint_url` must be the factory's.
std::string render_provider_factory_card(const ProviderFactory& factory,
                                         const CardRenderOptions& options);

// Export-eligible, exposed agents sorted by public id; URLs from the context's endpoint.
std::string render_agent_listing(const std::vector<AgentRecord>& agents,
                                 const GatewayContext& context);
std::string render_provider_listing(const std::vector<ProviderFactory>& factories,
                                    const GatewayContext& context);

}  // namespace tessik
