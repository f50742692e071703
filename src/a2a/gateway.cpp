// Gateway handler. Routes arrive with the routing table; until then every request gets the
// gateway's final fall-through.
#include "a2a/gateway.h"

#include "a2a/errors.h"

namespace tessik {

GatewayResponse handle_a2a_request(const GatewayRequest& /*request*/,
                                   const Principal& /*principal*/,
                                   const GatewayContext& /*context*/, Registry& /*registry*/,
                                   const EvidenceLog& /*evidence*/, std::stop_token /*stop*/) {
  return make_http_error(404, "TESSIK_A2A_ROUTE_NOT_FOUND", "A2A route not found");
}

}  // namespace tessik
