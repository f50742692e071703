// Header and query lookups on a GatewayRequest.
#include "a2a/gateway/request_fields.h"

#include "base/text.h"

namespace tessik {
namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool equals_ignoring_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() && ascii_lower(a) == ascii_lower(b);
}

}  // namespace

std::optional<std::string> find_header(const GatewayRequest& request, std::string_view name) {
  for (const auto& [header, value] : request.headers) {
    if (equals_ignoring_case(header, name)) return value;
  }
  return std::nullopt;
}

std::string header_value(const GatewayRequest& request, std::string_view name) {
  return find_header(request, name).value_or(std::string());
}

std::string percent_decode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%' && i + 2 < text.size() && hex_digit(text[i + 1]) >= 0 &&
        hex_digit(text[i + 2]) >= 0) {
      out += static_cast<char>(hex_digit(text[i + 1]) * 16 + hex_digit(text[i + 2]));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

std::optional<std::string> query_parameter(std::string_view target, std::string_view name) {
  const std::size_t question = target.find('?');
  if (question == std::string_view::npos) return std::nullopt;
  std::string_view query = target.substr(question + 1);
  while (true) {
    const std::size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    const std::size_t eq = pair.find('=');
    const std::string_view raw_name = pair.substr(0, eq);
    if (equals_ignoring_case(percent_decode(raw_name), name)) {
      return eq == std::string_view::npos ? std::string() : percent_decode(pair.substr(eq + 1));
    }
    if (amp == std::string_view::npos) return std::nullopt;
    query = query.substr(amp + 1);
  }
}

}  // namespace tessik
