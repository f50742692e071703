// The in-process client of the broker used by `tessik status` and `tessik tasks`.
#include "app/broker_client.h"

#include <cctype>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "base/json_depth.h"
#include "base/text.h"
#include "platform/session_id.h"
#include "state/state_dir.h"
#include "wire/frames.h"

namespace tessik {

BrokerClient::BrokerClient(const BrokerClientOptions& options) {
  const std::optional<std::uint32_t> session =
      options.session_id ? options.session_id : platform::current_session_id();
  if (!session) throw std::runtime_error("the session id of this process is unknown");
  settings_.base_url = "http://127.0.0.1:37661";
  settings_.broker_socket = broker_socket_path(*session);
  settings_.broker_timeout_ns = options.timeout_ns;
  bool created = false;
  settings_.local_token = ensure_local_token(a2a_directory() / "local-token", created);
  std::string token = trim(options.token);
  if (token.empty()) {
    const char* from_environment = std::getenv("TESSIK_A2A_TOKEN");
    if (from_environment != nullptr) token = trim(from_environment);
  }
  authorization_ = "Bearer " + (token.empty() ? settings_.local_token : token);
}

BrokerCall BrokerClient::call(const std::string& method, const std::string& target,
                              const std::string& body) const {
  GatewayRequest request;
  request.method = method;
  request.target = target;
  request.body = body;
  request.headers["Authorization"] = authorization_;
  request.headers["A2A-Version"] = "1.0";
  if (!body.empty()) request.headers["Content-Type"] = "application/json";
  BrokerCall result;
  result.response = forward_api_request(settings_, std::move(request));
  // The stand-in's own refusals for a broker it could not use all carry this code prefix.
  const bool transport_failure =
      (result.response.status == 502 || result.response.status == 503) &&
      result.response.body.find("TESSIK_API_SERVICE_BROKER_") != std::string::npos;
  result.reached = !transport_failure;
  return result;
}

std::string query_value(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) != 0 || c == '-' || c == '_' || c == '.' || c == '~') {
      out += c;
    } else {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    }
  }
  return out;
}

std::string gateway_error_message(const GatewayResponse& response) {
  if (json_nesting_within(response.body)) {
    const nlohmann::json body = nlohmann::json::parse(response.body, nullptr, false);
    if (body.is_object()) {
      const auto error = body.find("error");
      if (error != body.end() && error->is_object()) {
        const auto message = error->find("message");
        if (message != error->end() && message->is_string()) return message->get<std::string>();
      }
    }
  }
  return trim(response.body);
}

}  // namespace tessik
