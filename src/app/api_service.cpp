// The stand-in is deliberately thin: every protocol decision stays in the gateway, including
// which routes are public (is_public_gateway_card_request) and the 401 answers.
#include "app/api_service.h"

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <system_error>

#include "a2a/gateway/auth.h"
#include "a2a/gateway/errors.h"
#include "a2a/gateway/paths.h"
#include "base/json_depth.h"
#include "base/text.h"
#include "platform/secure_random.h"
#include "registry/lock_publish.h"
#include "wire/frame_client.h"
#include "wire/response_document.h"

namespace tessik {
namespace {

using nlohmann::json;

// The broker insists on an authenticated principal with a client id. Anonymous callers only
// ever reach the public gateway card, which the gateway answers before it looks at a caller.
Principal public_card_principal() {
  Principal principal;
  principal.authenticated = true;
  principal.client_id = "anonymous-public-card";
  principal.principal_type = "anonymous";
  principal.sender_node = "local";
  return principal;
}

// HTTP auth schemes are case-insensitive and may be followed by several blanks; the gateway
// takes exactly "Bearer " and one token, so the service hands it that form.
void normalize_bearer_scheme(GatewayRequest& request) {
  constexpr std::string_view kScheme = "bearer";
  for (auto& [name, value] : request.headers) {
    if (ascii_lower(name) != "authorization") continue;
    const std::string_view text = value;
    if (text.size() <= kScheme.size() || ascii_lower(text.substr(0, kScheme.size())) != kScheme)
      continue;
    const char separator = text[kScheme.size()];
    if (separator != ' ' && separator != '\t') continue;
    value = "Bearer " + trim(text.substr(kScheme.size()));
  }
}

bool has_authorization_header(const GatewayRequest& request) {
  for (const auto& [name, value] : request.headers) {
    if (name.size() == 13 && ascii_lower(name) == "authorization") return true;
  }
  return false;
}

// People read these messages: the primitives' own codes and errno values become words.
std::string pipe_error_text(const BrokerExchange& exchange) {
  const platform::PipeIoResult& result = exchange.result;
  std::string text = exchange.step + " " + platform::pipe_io_status_name(result.status);
  if (result.status != platform::PipeIoStatus::failed) return text;
  const bool connecting = exchange.step == "connect";
  switch (connecting ? 0u : result.windows_error) {
    case platform::kErrorBrokenPipe:
      return text + ": the broker closed the connection";
    case platform::kErrorInvalidData:
      return text + ": the frame was malformed";
    case platform::kErrorWriteFault:
      return text + ": nothing could be written";
    case platform::kErrorBufferOverflow:
      return text + ": the frame was too large";
    default:
      return text + ": " + std::generic_category().message(static_cast<int>(result.windows_error));
  }
}

}  // namespace

GatewayContext api_service_auth_context(const ApiServiceSettings& settings) {
  GatewayContext context;
  context.require_auth = true;
  context.trust_broker_principal = false;
  context.local_bearer_token = settings.local_token;
  context.principal.sender_agent = "local-a2a-client";
  context.endpoint_url = settings.base_url + "/a2a";
  return context;
}

namespace {

// The 401 for a caller that may not reach the broker, or nullopt with the principal the
// broker is told about.
std::optional<GatewayResponse> caller_refusal(const ApiServiceSettings& settings,
                                              const GatewayRequest& request, Principal& principal) {
  // Without credentials the public card is all a caller can reach; no refusal need be built.
  const bool public_card = is_public_gateway_card_request(request.method, request.target);
  if (public_card && !has_authorization_header(request)) {
    principal = public_card_principal();
    return std::nullopt;
  }
  AuthenticationResult auth = authenticate_a2a_request(request, api_service_auth_context(settings));
  if (auth.ok) {
    principal = std::move(auth.principal);
    return std::nullopt;
  }
  if (public_card) {
    principal = public_card_principal();
    return std::nullopt;
  }
  return std::move(auth.error);
}

}  // namespace

namespace {

// The broker's general reader, for any layout the fast reader does not take.
std::optional<GatewayResponse> parse_any_broker_response(std::string_view payload) {
  if (!json_nesting_within(payload)) return std::nullopt;
  const json document = json::parse(payload, nullptr, false);
  if (!document.is_object()) return std::nullopt;
  const auto status = document.find("status");
  const auto body = document.find("body");
  const auto content_type = document.find("contentType");
  const auto headers = document.find("headers");
  if (status == document.end() || !status->is_number_integer() || body == document.end() ||
      !body->is_string() || content_type == document.end() || !content_type->is_string() ||
      headers == document.end() || !headers->is_object()) {
    return std::nullopt;
  }
  GatewayResponse response;
  response.status = status->get<int>();
  response.body = body->get<std::string>();
  response.content_type = content_type->get<std::string>();
  for (const auto& [name, value] : headers->items()) {
    if (value.is_string()) response.headers[name] = value.get<std::string>();
  }
  return response;
}

}  // namespace

std::optional<GatewayResponse> parse_broker_response(std::string_view payload) {
  if (std::optional<GatewayResponse> response = read_serialized_gateway_response(payload))
    return response;
  return parse_any_broker_response(payload);
}

std::optional<GatewayResponse> api_request_refusal(const ApiServiceSettings& settings,
                                                   const GatewayRequest& request) {
  GatewayRequest scoped = request;
  scoped.endpoint_url = settings.base_url + "/a2a";
  normalize_bearer_scheme(scoped);
  Principal unused;
  return caller_refusal(settings, scoped, unused);
}

GatewayResponse forward_api_request(const ApiServiceSettings& settings, GatewayRequest request) {
  if (request.body.size() > kApiServiceMaxBodyBytes) {
    return make_http_error(413, "TESSIK_API_SERVICE_PAYLOAD_TOO_LARGE",
                           "Request body exceeds the 8 MiB limit of the A2A API service.");
  }
  if (!is_valid_utf8(request.body)) {
    return make_http_error(400, "TESSIK_API_SERVICE_BODY_INVALID",
                           "Request body must be UTF-8 text.");
  }
  request.endpoint_url = settings.base_url + "/a2a";
  normalize_bearer_scheme(request);
  Principal principal;
  if (std::optional<GatewayResponse> refusal = caller_refusal(settings, request, principal)) {
    return std::move(*refusal);
  }
  const std::string payload = build_broker_envelope(request, principal);
  if (payload.size() > kMaxFramePayloadBytes) {
    return make_http_error(413, "TESSIK_API_SERVICE_PAYLOAD_TOO_LARGE",
                           "Request is too large to forward to the user broker.");
  }
  const BrokerExchange exchange = exchange_with_broker(
      settings.broker_socket, payload, settings.broker_timeout_ns, settings.broker_uid);
  if (exchange.step == "verify") {
    return make_http_error(
        503, "TESSIK_API_SERVICE_BROKER_UNTRUSTED",
        "The socket of the Tessik user broker is not the broker's (" + exchange.untrusted + ").");
  }
  if (exchange.step == "connect") {
    return make_http_error(503, "TESSIK_API_SERVICE_BROKER_UNAVAILABLE",
                           "The Tessik user broker is not running for this session (" +
                               settings.broker_socket.string() + ": " + pipe_error_text(exchange) +
                               ").");
  }
  // A failed acknowledgement is the broker's to record; the response itself arrived whole.
  if (exchange.step != "done" && exchange.step != "acknowledge") {
    return make_http_error(
        502, "TESSIK_API_SERVICE_BROKER_FAILED",
        "The exchange with the Tessik user broker failed at " + pipe_error_text(exchange) + ".");
  }
  std::optional<GatewayResponse> response = parse_broker_response(exchange.response);
  if (!response) {
    return make_http_error(502, "TESSIK_API_SERVICE_BROKER_FAILED",
                           "The Tessik user broker answered with an unreadable response.");
  }
  return *response;
}

std::string ensure_local_token(const std::filesystem::path& path, bool& created) {
  created = false;
  {
    std::ifstream in(path, std::ios::binary);
    if (in) {
      std::ostringstream text;
      text << in.rdbuf();
      const std::string token = trim(text.str());
      if (!token.empty()) {
        // The token is a credential: keep it readable by its owner only.
        std::filesystem::permissions(
            path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
        return token;
      }
    }
  }
  const std::string token = platform::random_secret_hex(32);
  publish_file_atomically(path, token + "\n", "local token", 0600);
  created = true;
  return token;
}

}  // namespace tessik
