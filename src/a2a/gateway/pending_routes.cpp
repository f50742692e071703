// Operations not built yet. Each answers the gateway's final fall-through, exactly what the
// request would get if routing had no row for it; no operation pretends to have run.
#include "a2a/gateway/error_catalog.h"
#include "a2a/gateway/route_handlers.h"

namespace tessik {

GatewayResponse handle_provider_create(const GatewayCall&) {
  return route_not_found_error();
}

}  // namespace tessik
