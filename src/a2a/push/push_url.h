// Callback URL rules shared by configuration validation and delivery: splitting a URL into
// scheme and host, the URL policy, the address classes refused for callbacks, and the
// redacted form under which a callback appears in the delivery files. Pure functions.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace tessik {

// The trimmed, lower-cased scheme (the text before the first "://"; empty when there is
// none) and the host of the URL's authority: user information dropped, a bracketed IPv6
// literal kept with its brackets, the port dropped. The host keeps its letter case.
struct CallbackUrlParts {
  std::string scheme;
  std::string host;
};
CallbackUrlParts split_callback_url(std::string_view url);

// The four octets of a dotted-decimal IPv4 literal ("10.0.0.1"); nothing for other text.
std::optional<std::array<int, 4>> parse_ipv4_literal(std::string_view text);

// An IPv4 literal in a range no public callback lives in (this host, private, loopback,
// shared, link-local, documentation, benchmarking, multicast and reserved).
bool is_private_or_local_ipv4(std::string_view text);

// "localhost", "127.0.0.1" or any IPv4 literal whose first octet is 127 (trimmed, any case).
bool is_loopback_host(std::string_view host);

// http only to a loopback host; https to any host but localhost names, IPv6 literals and
// private or local IPv4 literals; every other scheme refused.
bool is_push_url_allowed(std::string_view url);

// A resolved address that must not receive an https callback: empty text, a private or local
// IPv4 literal, text that is not IPv6, the unspecified and loopback IPv6 addresses,
// IPv4-mapped forms of refused IPv4 addresses, unique-local, link-local, multicast and
// documentation IPv6 ranges. A zone suffix ("%eth0") is ignored.
bool is_private_or_local_address(std::string_view address);

// "<host>#<first 16 hex digits of the SHA-256 of the full URL>", the host lower-cased; empty
// when the URL has no host. Never reveals the path, query or user information.
std::string redact_callback_url(std::string_view url);

}  // namespace tessik
