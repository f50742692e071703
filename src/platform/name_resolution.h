// Host name resolution and IPv6 address parsing, the operating system's part of the checks
// made before an outbound callback connects.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessik::platform {

// Resolves `host` (a name or an address literal) to every IPv4 and IPv6 address the system
// resolver returns, printed as numeric text, distinct and in result order. False with
// `error` set to the resolver's own description when the lookup fails. Blocking; thread-safe.
bool resolve_host_addresses(const std::string& host, std::vector<std::string>& addresses,
                            std::string& error);

// The 16 bytes of an IPv6 address written in any textual form the system accepts (including
// an embedded dotted IPv4 tail); nothing for any other text. No zone suffix is accepted.
std::optional<std::array<unsigned char, 16>> parse_ipv6_address(std::string_view text);

}  // namespace tessik::platform
