// Version and content-type gates.
#include "a2a/gateway/request_gates.h"

#include "a2a/gateway/request_fields.h"
#include "base/text.h"

namespace tessik {
namespace {

constexpr std::string_view kDefaultVersion = "0.3";

// Exactly one '.', neither first nor last, and decimal digits everywhere else.
bool is_well_formed_version(std::string_view version) {
  const std::size_t dot = version.find('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == version.size()) return false;
  for (std::size_t i = 0; i < version.size(); ++i) {
    if (i == dot) continue;
    if (version[i] < '0' || version[i] > '9') return false;
  }
  return true;
}

}  // namespace

std::string requested_a2a_version(const GatewayRequest& request) {
  std::string version;
  if (const auto header = find_header(request, "A2A-Version")) {
    version = trim(*header);
  } else if (const auto parameter = query_parameter(request.target, "A2A-Version")) {
    version = trim(*parameter);
  }
  return version.empty() ? std::string(kDefaultVersion) : version;
}

std::optional<std::string> unsupported_a2a_version(const GatewayRequest& request) {
  std::string version = requested_a2a_version(request);
  if (is_well_formed_version(version) && (version == "1.0" || version == "0.3")) {
    return std::nullopt;
  }
  return version;
}

bool is_supported_content_type(const GatewayRequest& request) {
  std::string type = ascii_lower(header_value(request, "Content-Type"));
  type = trim(type.substr(0, type.find(';')));
  if (type.empty() || type == "application/json" || type == "application/a2a+json") return true;
  return type.size() >= 6 && type.compare(type.size() - 5, 5, "+json") == 0;
}

}  // namespace tessik
