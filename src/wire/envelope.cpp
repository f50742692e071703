// Envelope parsing, response serialization and acknowledgement checks.
#include "wire/envelope.h"

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>

#include "base/json_depth.h"
#include "base/text.h"
#include "wire/json_cursor.h"

namespace tessik {
namespace {

using nlohmann::json;

constexpr const char* kMalformed = "unsupported or malformed user-broker envelope";
constexpr const char* kMissingParts = "user-broker envelope is missing request or principal";
constexpr const char* kValidation = "user-broker envelope failed identity or request validation";
constexpr const char* kAckMalformed =
    "unsupported or malformed user-broker response acknowledgement";

// "version" converted to an integer the way a typed lookup would: numbers truncate,
// booleans give 0 or 1. Strings and other types have no integer value.
bool version_is_one(const json& object) {
  const auto it = object.find("version");
  if (it == object.end()) return false;
  if (it->is_boolean()) return it->get<bool>();
  if (it->is_number_integer() || it->is_number_unsigned()) return *it == 1;
  if (it->is_number_float()) {
    const double value = it->get<double>();
    return std::isfinite(value) && std::trunc(value) == 1.0;
  }
  throw json::type_error::create(302, "version is not a number", &*it);
}

std::string text_member(const json& object, const char* key, const char* fallback) {
  const auto it = object.find(key);
  if (it == object.end()) return fallback;
  return it->get<std::string>();
}

UserBrokerEnvelope invalid(const char* message) {
  UserBrokerEnvelope envelope;
  envelope.error = message;
  return envelope;
}

// The envelope in the layout build_broker_envelope writes (members in byte order, no white
// space), read without a JSON tree. nullopt for anything else, which the general reader
// then takes; for this layout both readers give the same record.
std::optional<UserBrokerEnvelope> read_compact_envelope(std::string_view payload) {
  JsonCursor cursor(payload);
  UserBrokerEnvelope envelope;
  GatewayRequest& request = envelope.request;
  Principal& principal = envelope.principal;
  principal.principal_type.clear();
  principal.sender_node.clear();
  if (!cursor.literal("{\"endpointUrl\":") || !cursor.string(request.endpoint_url) ||
      !cursor.literal(",\"principal\":{\"authenticated\":") ||
      !cursor.boolean(principal.authenticated) || !cursor.literal(",\"clientId\":") ||
      !cursor.string(principal.client_id) || !cursor.literal(",\"principalType\":") ||
      !cursor.string(principal.principal_type) || !cursor.literal(",\"scopes\":[")) {
    return std::nullopt;
  }
  if (!cursor.literal("]")) {
    do {
      if (!cursor.string(principal.scopes.emplace_back())) return std::nullopt;
    } while (cursor.literal(","));
    if (!cursor.literal("]")) return std::nullopt;
  }
  if (!cursor.literal(",\"senderAgent\":") || !cursor.string(principal.sender_agent) ||
      !cursor.literal(",\"senderNode\":") || !cursor.string(principal.sender_node) ||
      !cursor.literal("},\"request\":{\"body\":") || !cursor.string(request.body) ||
      !cursor.literal(",\"headers\":") || !cursor.string_map(request.headers) ||
      !cursor.literal(",\"method\":") || !cursor.string(request.method) ||
      !cursor.literal(",\"target\":") || !cursor.string(request.target) ||
      !cursor.literal("},\"version\":1}") || !cursor.at_end()) {
    return std::nullopt;
  }
  return envelope;
}

bool passes_validation(const UserBrokerEnvelope& envelope) {
  return !trim(envelope.request.method).empty() && !trim(envelope.request.target).empty() &&
         envelope.principal.authenticated && !trim(envelope.principal.client_id).empty();
}

}  // namespace

Principal parse_principal(const json& object) {
  Principal principal;
  if (const auto it = object.find("authenticated"); it != object.end()) {
    principal.authenticated = it->get<bool>();
  }
  principal.client_id = text_member(object, "clientId", "");
  principal.principal_type = text_member(object, "principalType", "brokered-api-client");
  principal.sender_agent = text_member(object, "senderAgent", "");
  principal.sender_node = text_member(object, "senderNode", "local");
  if (const auto it = object.find("scopes"); it != object.end() && it->is_array()) {
    for (const json& scope : *it) {
      if (scope.is_string()) principal.scopes.push_back(scope.get<std::string>());
    }
  }
  return principal;
}

UserBrokerEnvelope parse_user_broker_envelope(std::string_view payload) {
  if (std::optional<UserBrokerEnvelope> compact = read_compact_envelope(payload)) {
    if (!passes_validation(*compact)) return invalid(kValidation);
    compact->valid = true;
    return std::move(*compact);
  }
  if (!json_nesting_within(payload)) return invalid(kMalformed);
  const json document = json::parse(payload, nullptr, /*allow_exceptions=*/false);
  if (document.is_discarded() || !document.is_object()) return invalid(kMalformed);
  try {
    if (!version_is_one(document)) return invalid(kMalformed);
  } catch (const json::exception&) {
    return invalid(kMalformed);
  }
  const auto request = document.find("request");
  const auto principal = document.find("principal");
  if (request == document.end() || principal == document.end() || !request->is_object() ||
      !principal->is_object()) {
    return invalid(kMissingParts);
  }

  UserBrokerEnvelope envelope;
  try {
    envelope.request.endpoint_url = text_member(document, "endpointUrl", "");
    envelope.request.method = text_member(*request, "method", "");
    envelope.request.target = text_member(*request, "target", "");
    envelope.request.body = text_member(*request, "body", "");
    if (const auto headers = request->find("headers");
        headers != request->end() && headers->is_object()) {
      for (const auto& [name, value] : headers->items()) {
        if (value.is_string()) envelope.request.headers[name] = value.get<std::string>();
      }
    }
    envelope.principal = parse_principal(*principal);
  } catch (const json::exception&) {
    // A member of the wrong type cannot identify anyone; treat it like failed validation.
    return invalid(kValidation);
  }

  if (!passes_validation(envelope)) return invalid(kValidation);
  envelope.valid = true;
  return envelope;
}

void append_json_string_object(std::string& out,
                               const std::map<std::string, std::string>& members) {
  out += '{';
  bool first = true;
  for (const auto& [name, value] : members) {
    if (!first) out += ',';
    first = false;
    append_json_string_member(out, name, value);
  }
  out += '}';
}

// Written by hand, members in byte order: the stand-in builds one for every request, and a
// JSON tree for it cost more than the rest of its own work. Text that is not UTF-8 (only
// header bytes can be; the body was checked before) is repaired.
std::string build_broker_envelope(const GatewayRequest& request, const Principal& principal) {
  std::string out;
  out.reserve(request.body.size() + request.target.size() + 512);
  out += '{';
  append_json_string_member(out, "endpointUrl", request.endpoint_url);
  out += ",\"principal\":{\"authenticated\":";
  out += principal.authenticated ? "true" : "false";
  out += ',';
  append_json_string_member(out, "clientId", principal.client_id);
  out += ',';
  append_json_string_member(out, "principalType", principal.principal_type);
  out += ",\"scopes\":[";
  for (std::size_t i = 0; i < principal.scopes.size(); ++i) {
    out += i > 0 ? ",\"" : "\"";
    append_json_escaped(out, principal.scopes[i]);
    out += '"';
  }
  out += "],";
  append_json_string_member(out, "senderAgent", principal.sender_agent);
  out += ',';
  append_json_string_member(out, "senderNode", principal.sender_node);
  out += "},\"request\":{";
  append_json_string_member(out, "body", request.body);
  out += ",\"headers\":";
  append_json_string_object(out, request.headers);
  out += ',';
  append_json_string_member(out, "method", request.method);
  out += ',';
  append_json_string_member(out, "target", request.target);
  out += "},\"version\":1}";
  return out;
}

std::string serialize_gateway_response(const GatewayResponse& response) {
  std::string out;
  out.reserve(response.body.size() + 128);
  out += "{\"body\":\"";
  append_json_escaped(out, response.body);
  out += "\",\"contentType\":\"";
  append_json_escaped(out, response.content_type);
  out += "\",\"headers\":";
  append_json_string_object(out, response.headers);
  out += ",\"status\":";
  out += std::to_string(response.status);
  out += ",\"version\":1}";
  return out;
}

bool is_response_acknowledgement(std::string_view payload, std::string* error) {
  const json document = json_nesting_within(payload)
                            ? json::parse(payload, nullptr, /*allow_exceptions=*/false)
                            : json(json::value_t::discarded);
  bool ok = document.is_object() && document.size() == 2;
  if (ok) {
    try {
      ok = version_is_one(document);
    } catch (const json::exception&) {
      ok = false;
    }
  }
  if (ok) {
    const auto type = document.find("type");
    ok = type != document.end() && type->is_string() &&
         type->get_ref<const std::string&>() == "response_consumed";
  }
  if (!ok && error) *error = kAckMalformed;
  return ok;
}

}  // namespace tessik
