// Reading a GatewayRequest the way the gateway does: header names ignore ASCII case, query
// parameters are percent-decoded. Pure functions, safe on any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "wire/envelope.h"

namespace tessik {

// The value of the first header whose name equals `name` ignoring ASCII case; nullopt when
// the request has none.
std::optional<std::string> find_header(const GatewayRequest& request, std::string_view name);
// The same, with a missing header read as "".
std::string header_value(const GatewayRequest& request, std::string_view name);

// Decodes %XX escapes (either hex case); '+' stays '+'. A '%' not followed by two hex
// digits is kept as it is.
std::string percent_decode(std::string_view text);

// The first query parameter of `target` (after the first '?') whose percent-decoded name
// equals `name` ignoring ASCII case; its value percent-decoded. nullopt when absent.
std::optional<std::string> query_parameter(std::string_view target, std::string_view name);

}  // namespace tessik
