// Protocol-version negotiation and the content-type gate of the gateway.
#pragma once

#include <optional>
#include <string>

#include "wire/envelope.h"

namespace tessik {

// The trimmed "A2A-Version" header when present, else the "A2A-Version" query parameter
// (name ignoring case, value percent-decoded and trimmed); "0.3" when either is empty or
// neither is given.
std::string requested_a2a_version(const GatewayRequest& request);

// The raw requested version when this interface does not serve it (malformed, or well formed
// but neither "1.0" nor "0.3"); nullopt when it is served.
std::optional<std::string> unsupported_a2a_version(const GatewayRequest& request);

// The "Content-Type" media type (lower-cased, parameters cut, trimmed) is absent,
// "application/json", "application/a2a+json" or some "...+json" of at least 6 characters.
bool is_supported_content_type(const GatewayRequest& request);

}  // namespace tessik
