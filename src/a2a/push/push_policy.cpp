// DNS-time checks of push callbacks.
#include "a2a/push/push_policy.h"

#include "a2a/push/push_url.h"
#include "base/text.h"
#include "platform/name_resolution.h"

namespace tessik {
namespace {

A2aDnsResolveResult refused(std::string error) {
  return {{}, std::move(error)};
}

}  // namespace

A2aDnsResolveResult resolve_callback_host(const std::string& host) {
  const std::string name = trim(host);
  if (name.empty()) return refused("callback host is empty");
  A2aDnsResolveResult result;
  std::string error;
  if (!platform::resolve_host_addresses(name, result.addresses, error))
    return refused("callback host DNS resolution failed");
  return result;
}

A2aDnsResolveResult check_push_delivery_policy(const PushConfig& config,
                                               const GatewayContext& context) {
  if (!is_push_url_allowed(config.url))
    return refused("push notification url rejected by delivery policy");
  if (context.push_sender && !context.push_resolver) return {};
  const CallbackUrlParts parts = split_callback_url(config.url);
  const std::string host = ascii_lower(trim(parts.host));
  A2aDnsResolveResult resolved =
      context.push_resolver ? context.push_resolver(host) : resolve_callback_host(host);
  if (!resolved.error.empty()) return refused(std::move(resolved.error));
  if (resolved.addresses.empty())
    return refused("callback host DNS resolution returned no usable addresses");
  for (const std::string& address : resolved.addresses) {
    if (parts.scheme == "http" && !is_loopback_host(address))
      return refused("loopback HTTP callback host resolved to a non-loopback address");
    if (parts.scheme != "http" && is_private_or_local_address(address))
      return refused("HTTPS callback host resolved to a private or local address");
  }
  return resolved;
}

}  // namespace tessik
