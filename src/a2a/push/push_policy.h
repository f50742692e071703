// The delivery policy of push callbacks: the URL policy again at delivery time, then what the
// callback host resolves to. The approved addresses it returns are the only ones the post may
// connect to, so a name that resolves differently a moment later cannot redirect it.
#pragma once

#include <string>

#include "a2a/gateway/gateway_context.h"
#include "a2a/push/push_config.h"

namespace tessik {

// The system resolver: every distinct IPv4 and IPv6 address of `host` as numeric text, or
// "callback host is empty" / "callback host DNS resolution failed".
A2aDnsResolveResult resolve_callback_host(const std::string& host);

// The approved addresses for the configuration's callback, or the refusal: the URL policy,
// the resolution (the context's resolver when set), loopback-only for http, no private or
// local address for https. With a replacement sender and no replacement resolver the URL
// policy alone decides and no address is approved.
A2aDnsResolveResult check_push_delivery_policy(const PushConfig& config,
                                               const GatewayContext& context);

}  // namespace tessik
