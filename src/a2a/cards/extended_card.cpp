// The extended card follows the scope of the request, so an agent-scoped client sees the
// card of the agent it talks to.
#include "a2a/cards/extended_card.h"

#include "a2a/cards/cards.h"

namespace tessik {

std::string render_extended_card(const GatewayCall& call) {
  CardRenderOptions options = make_card_options(call.context, true, true);
  if (call.scoped_agent) {
    options.endpoint_url =
        agent_endpoint_url(call.context.endpoint_url, call.scoped_agent->public_agent_id);
    return render_wrapped_agent_card(*call.scoped_agent, options);
  }
  if (call.scoped_provider) {
    options.endpoint_url =
        factory_endpoint_url(call.context.endpoint_url, call.scoped_provider->id);
    return render_provider_factory_card(*call.scoped_provider, options);
  }
  return render_gateway_card(options);
}

}  // namespace tessik
