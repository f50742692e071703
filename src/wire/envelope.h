// The three documents that cross the broker socket: request envelope, response, acknowledgement,
// and the records GatewayRequest, GatewayResponse and Principal that the gateway works with.
#pragma once

#include <cstdint>
#include <map>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace tessik {

inline constexpr std::uint32_t kMaxFramePayloadBytes = 8'388'608;

// The inner HTTP request. Header names keep their case; lookups ignoring case are the
// gateway's business.
struct GatewayRequest {
  std::string method;
  std::string target;
  std::map<std::string, std::string> headers;
  std::string body;
  std::string endpoint_url;
};

// The caller identity. Defaults are those of a freshly made record.
struct Principal {
  bool authenticated = false;
  std::string token_sha256;
  std::string client_id;
  std::string principal_type = "registry";
  std::string sender_agent;
  std::string sender_node = "local";
  std::vector<std::string> scopes;
};

struct GatewayResponse {
  std::int32_t status = 500;
  std::string content_type = "application/json";
  std::map<std::string, std::string> headers;
  std::string body;
};

struct UserBrokerEnvelope {
  bool valid = false;
  std::string error;  // one of the three envelope messages when !valid
  GatewayRequest request;
  Principal principal;
};

// Parses a request payload. Never throws: every failure, including a JSON value of the wrong
// type anywhere, comes back as valid == false with its message.
UserBrokerEnvelope parse_user_broker_envelope(std::string_view payload);

// Reads the object under "principal". Members of the wrong type raise nlohmann::json::type_error,
// which parse_user_broker_envelope turns into an invalid envelope.
Principal parse_principal(const nlohmann::json& object);

// Appends {"name":"value",...} for `members` (in their order), escaped and repaired as
// append_json_escaped does: the header objects of the envelope and the response document.
void append_json_string_object(std::string& out, const std::map<std::string, std::string>& members);

// Compact response document with keys in byte order; text that is not valid UTF-8 is repaired.
std::string serialize_gateway_response(const GatewayResponse& response);

// The envelope payload for `request` and `principal` as the stand-in sends it (compact JSON,
// members in byte order, version 1): the layout parse_user_broker_envelope reads fastest.
std::string build_broker_envelope(const GatewayRequest& request, const Principal& principal);

// True only for {"version":1,"type":"response_consumed"} (two members, any order).
// On false, `error` (when given) receives the acknowledgement message.
bool is_response_acknowledgement(std::string_view payload, std::string* error = nullptr);

}  // namespace tessik
