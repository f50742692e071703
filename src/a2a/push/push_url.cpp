// Callback URLs are checked textually here; what a name resolves to is checked at delivery.
#include "a2a/push/push_url.h"

#include <charconv>

#include "base/sha256.h"
#include "base/text.h"
#include "platform/name_resolution.h"

namespace tessik {
namespace {

bool ipv4_refused(const std::array<int, 4>& o) {
  if (o[0] == 0 || o[0] == 10 || o[0] == 127 || o[0] >= 224) return true;
  if (o[0] == 100 && o[1] >= 64 && o[1] <= 127) return true;  // 100.64.0.0/10
  if (o[0] == 169 && o[1] == 254) return true;
  if (o[0] == 172 && o[1] >= 16 && o[1] <= 31) return true;
  if (o[0] == 192 && o[1] == 168) return true;
  if (o[0] == 192 && o[1] == 0 && o[2] == 2) return true;
  if (o[0] == 198 && (o[1] == 18 || o[1] == 19)) return true;
  if (o[0] == 198 && o[1] == 51 && o[2] == 100) return true;
  return o[0] == 203 && o[1] == 0 && o[2] == 113;
}

bool ipv6_refused(const std::array<unsigned char, 16>& b) {
  bool zero_to_14 = true;
  for (int i = 0; i < 15; ++i)
    zero_to_14 = zero_to_14 && b[i] == 0;
  if (zero_to_14 && (b[15] == 0 || b[15] == 1)) return true;  // :: and ::1
  bool mapped = b[10] == 0xff && b[11] == 0xff;
  for (int i = 0; i < 10; ++i)
    mapped = mapped && b[i] == 0;
  if (mapped) return ipv4_refused({b[12], b[13], b[14], b[15]});
  if ((b[0] & 0xfe) == 0xfc) return true;                               // fc00::/7
  if (b[0] == 0xfe && (b[1] & 0xc0) == 0x80) return true;               // fe80::/10
  if (b[0] == 0xff) return true;                                        // ff00::/8
  return b[0] == 0x20 && b[1] == 0x01 && b[2] == 0x0d && b[3] == 0xb8;  // 2001:db8::/32
}

}  // namespace

CallbackUrlParts split_callback_url(std::string_view url) {
  CallbackUrlParts parts;
  const std::string text = trim(url);
  const std::size_t separator = text.find("://");
  if (separator == std::string::npos) return parts;
  parts.scheme = ascii_lower(trim(text.substr(0, separator)));
  std::string_view authority = std::string_view(text).substr(separator + 3);
  authority = authority.substr(0, authority.find_first_of("/?#"));
  if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos)
    authority = authority.substr(at + 1);
  if (!authority.empty() && authority.front() == '[') {
    const std::size_t close = authority.find(']');
    parts.host =
        std::string(authority.substr(0, close == std::string_view::npos ? close : close + 1));
  } else {
    parts.host = std::string(authority.substr(0, authority.find(':')));
  }
  return parts;
}

std::optional<std::array<int, 4>> parse_ipv4_literal(std::string_view text) {
  std::array<int, 4> octets{};
  const char* at = text.data();
  const char* end = text.data() + text.size();
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      if (at == end || *at != '.') return std::nullopt;
      ++at;
    }
    const char* start = at;
    while (at != end && *at >= '0' && *at <= '9' && at - start < 4)
      ++at;
    if (at == start || at - start > 3) return std::nullopt;
    std::from_chars(start, at, octets[i]);
    if (octets[i] > 255) return std::nullopt;
  }
  if (at != end) return std::nullopt;
  return octets;
}

bool is_private_or_local_ipv4(std::string_view text) {
  const std::optional<std::array<int, 4>> octets = parse_ipv4_literal(text);
  return octets && ipv4_refused(*octets);
}

bool is_loopback_host(std::string_view host) {
  const std::string normalized = ascii_lower(trim(host));
  if (normalized == "localhost" || normalized == "127.0.0.1") return true;
  const std::optional<std::array<int, 4>> octets = parse_ipv4_literal(normalized);
  return octets && (*octets)[0] == 127;
}

bool is_push_url_allowed(std::string_view url) {
  const CallbackUrlParts parts = split_callback_url(url);
  const std::string host = ascii_lower(trim(parts.host));
  if (parts.scheme == "http") return is_loopback_host(host);
  if (parts.scheme != "https") return false;
  if (host.empty() || host == "localhost" || host.ends_with(".localhost")) return false;
  if (host.front() == '[') return false;
  return !is_private_or_local_ipv4(host);
}

bool is_private_or_local_address(std::string_view address) {
  std::string text = ascii_lower(trim(address));
  if (text.empty()) return true;
  if (parse_ipv4_literal(text)) return is_private_or_local_ipv4(text);
  if (const std::size_t zone = text.find('%'); zone != std::string::npos) text.resize(zone);
  const auto bytes = platform::parse_ipv6_address(text);
  return !bytes || ipv6_refused(*bytes);
}

std::string redact_callback_url(std::string_view url) {
  const std::string host = ascii_lower(trim(split_callback_url(url).host));
  if (host.empty()) return {};
  return host + "#" + sha256_hex(url).substr(0, 16);
}

}  // namespace tessik
