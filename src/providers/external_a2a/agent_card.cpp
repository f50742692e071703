// Agent Card fetch and validation. Validation stops at the first failure, in a fixed order, so
// that the error a user sees names the first thing to fix in the card.
#include "providers/external_a2a/agent_card.h"

#include <nlohmann/json.hpp>
#include <stdexcept>

#include "base/json_depth.h"
#include "base/sha256.h"
#include "base/text.h"
#include "registry/local_secrets.h"

namespace tessik {
namespace {

using Json = nlohmann::json;

std::string text_of(const Json& object, const char* key) {
  if (!object.is_object()) return {};
  const auto found = object.find(key);
  if (found == object.end() || !found->is_string()) return {};
  return trim(found->get<std::string>());
}

std::string first_text(const Json& object, const char* first, const char* second) {
  std::string value = text_of(object, first);
  return value.empty() ? text_of(object, second) : value;
}

bool is_empty_value(const Json& value) {
  return value.is_null() || ((value.is_object() || value.is_array()) && value.empty()) ||
         (value.is_string() && value.get<std::string>().empty());
}

const Json& first_non_empty(const Json& card, const char* first, const char* second) {
  static const Json kNull;
  for (const char* key : {first, second}) {
    const auto found = card.find(key);
    if (found != card.end() && !is_empty_value(*found)) return *found;
  }
  return kNull;
}

bool is_http_url(std::string_view url) {
  const std::string lower = ascii_lower(url);
  const auto usable_after = [&](std::string_view prefix) {
    return lower.rfind(prefix, 0) == 0 && lower.size() > prefix.size() &&
           lower.find_first_of(" \t\r\n") == std::string::npos;
  };
  return usable_after("http://") || usable_after("https://");
}

std::string binding_of(std::string_view raw) {
  const std::string upper = ascii_lower(trim(raw));
  if (upper == "http+json" || upper == "rest") return "HTTP+JSON";
  if (upper == "jsonrpc" || upper == "json-rpc") return "JSONRPC";
  return {};
}

std::string version_of(std::string_view raw) {
  const std::string version = trim(raw);
  if (version == "1.0" || version.rfind("1.0.", 0) == 0) return "1.0";
  if (version == "0.3" || version.rfind("0.3.", 0) == 0) return "0.3";
  return {};
}

bool usable(const ExternalAgentInterface& candidate) {
  return is_http_url(candidate.url) && !candidate.protocol_binding.empty() &&
         !candidate.protocol_version.empty();
}

// supportedInterfaces first, then the top-level url, then additionalInterfaces.
bool choose_interface(const Json& card, ExternalAgentInterface& chosen) {
  const auto supported = card.find("supportedInterfaces");
  if (supported != card.end() && supported->is_array()) {
    for (const Json& entry : *supported) {
      ExternalAgentInterface candidate{
          text_of(entry, "url"), binding_of(first_text(entry, "protocolBinding", "transport")),
          version_of(text_of(entry, "protocolVersion")), text_of(entry, "tenant")};
      if (usable(candidate)) return chosen = candidate, true;
    }
  }
  const std::string top_version = text_of(card, "protocolVersion");
  const std::string version = version_of(top_version.empty() ? "0.3" : top_version);
  const std::string transport = text_of(card, "preferredTransport");
  ExternalAgentInterface top{
      text_of(card, "url"), binding_of(transport.empty() ? "JSONRPC" : transport), version, {}};
  if (usable(top)) return chosen = top, true;
  const auto additional = card.find("additionalInterfaces");
  if (additional != card.end() && additional->is_array()) {
    for (const Json& entry : *additional) {
      ExternalAgentInterface candidate{
          text_of(entry, "url"), binding_of(text_of(entry, "transport")), version, {}};
      if (usable(candidate)) return chosen = candidate, true;
    }
  }
  return false;
}

bool is_base64url(std::string_view text) {
  if (text.empty()) return false;
  for (const char c : text) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '_' || c == '=';
    if (!ok) return false;
  }
  return true;
}

// A protected header that decodes to a JSON object with "alg" and "kid" texts.
bool well_formed_protected_header(const std::string& encoded);

bool signatures_well_formed(const Json& signatures) {
  if (!signatures.is_array()) return false;
  for (const Json& entry : signatures) {
    const std::string header = text_of(entry, "protected");
    if (!is_base64url(header) || !is_base64url(text_of(entry, "signature"))) return false;
    if (!well_formed_protected_header(header)) return false;
  }
  return true;
}

bool well_formed_protected_header(const std::string& encoded) {
  // base64url differs from base64 only in two letters of its alphabet.
  std::string standard = encoded;
  for (char& c : standard) {
    if (c == '-') c = '+';
    if (c == '_') c = '/';
  }
  std::string decoded;
  try {
    decoded = base64_decode(standard);
  } catch (const std::invalid_argument&) {
    return false;
  }
  if (!json_nesting_within(decoded)) return false;
  const Json header = Json::parse(decoded, nullptr, false);
  return header.is_object() && !text_of(header, "alg").empty() && !text_of(header, "kid").empty();
}

void take_scheme_urls(const Json& scheme, ExternalAgentCard& card) {
  card.openid_connect_url = text_of(scheme, "openIdConnectUrl");
  card.oauth2_metadata_url = text_of(scheme, "oauth2MetadataUrl");
  // Flows sit either directly in the scheme or inside its 1.0 wrapper object.
  const Json* body = &scheme;
  for (const char* wrapper : {"oauth2SecurityScheme", "openIdConnectSecurityScheme"}) {
    if (scheme.contains(wrapper) && scheme[wrapper].is_object()) body = &scheme[wrapper];
  }
  if (card.openid_connect_url.empty()) card.openid_connect_url = text_of(*body, "openIdConnectUrl");
  if (card.oauth2_metadata_url.empty())
    card.oauth2_metadata_url = text_of(*body, "oauth2MetadataUrl");
  const auto flows = body->find("flows");
  if (flows == body->end() || !flows->is_object()) return;
  for (const auto& [name, flow] : flows->items()) {
    if (card.token_url.empty()) card.token_url = text_of(flow, "tokenUrl");
    if (card.authorization_url.empty()) card.authorization_url = text_of(flow, "authorizationUrl");
  }
}

// Checks one requirement object; "" when usable, else why not. Sets `chosen` when usable.
std::string check_requirement(const Json& requirement, const Json& schemes,
                              ExternalSecurityRequirement& chosen, std::string& chosen_scheme) {
  if (!requirement.is_object()) {
    return "Agent Card securityRequirements contained a malformed requirement.";
  }
  // 1.0 wraps the scheme map as {"schemes": {name: {"list": [...]}}}.
  const Json& map = requirement.contains("schemes") && requirement["schemes"].is_object()
                        ? requirement["schemes"]
                        : requirement;
  for (const auto& [name, scopes_value] : map.items()) {
    if (!schemes.is_object() || !schemes.contains(name)) {
      return "Agent Card securityRequirements referenced an undeclared security scheme: " + name;
    }
    const Json& scopes = scopes_value.is_object() && scopes_value.contains("list")
                             ? scopes_value["list"]
                             : scopes_value;
    if (!scopes.is_array()) {
      return "Agent Card security requirement scopes must be an array for scheme: " + name;
    }
    for (const Json& scope : scopes) {
      if (!scope.is_string()) {
        return "Agent Card security requirement scopes must contain only strings for scheme: " +
               name;
      }
    }
  }
  if (map.size() > 1)
    return "A2A outbound delivery does not support compound security requirements.";
  if (map.empty()) return {};  // an empty requirement: no credentials needed
  const auto first = map.begin();
  const std::string name = first.key();
  const Json& scopes = first->is_object() ? (*first)["list"] : *first;
  std::string joined;
  for (const Json& scope : scopes)
    joined += (joined.empty() ? "" : " ") + scope.get<std::string>();
  chosen = {name, security_scheme_kind(schemes[name].dump()), joined};
  chosen_scheme = name;
  return {};
}

// Chooses the first usable requirement; a card without requirements needs none.
void choose_requirement(const Json& card_json, ExternalAgentCard& card) {
  const Json& requirements = first_non_empty(card_json, "securityRequirements", "security");
  const Json& schemes = first_non_empty(card_json, "securitySchemes", "authentication");
  if (requirements.is_null()) return;
  if (!requirements.is_array() || requirements.empty()) {
    card.requirement_error = "Agent Card securityRequirements must be a non-empty array.";
    return;
  }
  std::string last_error;
  for (const Json& requirement : requirements) {
    ExternalSecurityRequirement chosen;
    std::string scheme_name;
    const std::string error = check_requirement(requirement, schemes, chosen, scheme_name);
    if (error.rfind("A2A outbound", 0) == 0) {
      last_error = error;
      continue;
    }
    if (!error.empty()) {
      card.requirement_error = error;
      return;
    }
    card.requirement = chosen;
    if (!scheme_name.empty()) take_scheme_urls(schemes[scheme_name], card);
    return;
  }
  card.requirement_error =
      last_error.empty() ? "Agent Card did not declare a usable security requirement." : last_error;
}

std::string fail(ExternalAgentCard& card, const char* message) {
  card.error = message;
  return card.error;
}

void validate(const Json& json, std::string_view expected_name, ExternalAgentCard& card) {
  if (!json.is_object()) return void(fail(card, "Agent Card response was not a JSON object."));
  if (!choose_interface(json, card.chosen_interface)) {
    return void(fail(card,
                     "Agent Card did not declare a supported HTTP+JSON or JSONRPC interface for "
                     "A2A 1.0 or 0.3."));
  }
  const auto signatures = json.find("signatures");
  if (signatures != json.end() && !signatures->is_null()) {
    if (!signatures_well_formed(*signatures)) {
      return void(fail(card, "Agent Card declared malformed JWS signatures."));
    }
    card.has_signatures = !signatures->empty();
  }
  card.name = first_text(json, "name", "displayName");
  if (card.name.empty()) card.name = trim(expected_name);
  if (card.name.empty()) return void(fail(card, "Agent Card did not include a usable agent name."));
  if (!is_http_url(card.chosen_interface.url)) {
    return void(fail(card, "Agent Card did not include a usable HTTP service URL."));
  }
  const auto provider = json.find("provider");
  if (provider != json.end()) card.provider_organization = text_of(*provider, "organization");
  card.description = text_of(json, "description");
  card.version = first_text(json, "version", "agentVersion");
  const auto dump_of = [&](const char* key) {
    const auto found = json.find(key);
    return found == json.end() ? std::string() : found->dump();
  };
  card.skills_json = dump_of("skills");
  const Json& schemes = first_non_empty(json, "securitySchemes", "authentication");
  const Json& requirements = first_non_empty(json, "securityRequirements", "security");
  card.security_schemes_json = schemes.is_null() ? "" : schemes.dump();
  card.security_requirements_json = requirements.is_null() ? "" : requirements.dump();
  choose_requirement(json, card);
}

}  // namespace

std::string agent_card_base_url(std::string_view url) {
  std::string base = trim(url);
  for (const std::string_view suffix :
       {"/.well-known/agent-card.json", "/.well-known/agent.json"}) {
    if (base.size() >= suffix.size() &&
        base.compare(base.size() - suffix.size(), suffix.size(), suffix) == 0) {
      base.resize(base.size() - suffix.size());
      break;
    }
  }
  while (!base.empty() && base.back() == '/')
    base.pop_back();
  return base;
}

std::string security_scheme_kind(std::string_view scheme_json) {
  const std::string lower = ascii_lower(scheme_json);
  const auto has = [&](std::string_view needle) { return lower.find(needle) != std::string::npos; };
  const auto type_is = [&](std::string_view type) {
    return has("\"type\":\"" + std::string(type) + "\"");
  };
  if (has("openidconnectsecurityscheme") || has("openidconnecturl") || type_is("openidconnect")) {
    return "oidc";
  }
  if (has("oauth2securityscheme") || type_is("oauth2") || has("oauth2metadataurl") ||
      has("tokenurl")) {
    return "oauth2";
  }
  if (has("httpauthsecurityscheme") || type_is("http")) {
    return has("\"scheme\":\"bearer\"") ? "http-bearer" : "http-auth";
  }
  if (has("apikeysecurityscheme") || type_is("apikey")) return "api-key";
  if (has("mtlssecurityscheme") || type_is("mutualtls")) return "mtls";
  return {};
}

ExternalAgentCard parse_agent_card(std::string_view card_text, std::string_view base_url,
                                   std::string_view expected_name) {
  ExternalAgentCard card;
  card.raw_json = std::string(card_text);
  card.sha256 = sha256_hex(card_text);
  (void)base_url;
  if (!json_nesting_within(card_text)) return fail(card, "Agent Card parse failed."), card;
  const Json json = Json::parse(card_text, nullptr, false);
  if (json.is_discarded()) return fail(card, "Agent Card parse failed."), card;
  validate(json, expected_name, card);
  return card;
}

std::vector<std::string> agent_card_options(const AgentCardFetch& fetch) {
  const ExternalAgentCard& card = fetch.card;
  std::vector<std::string> options;
  const auto add = [&](const char* key, const std::string& value) {
    if (!value.empty()) options.push_back(std::string("a2a:") + key + "=" + value);
  };
  add("base-url", agent_card_base_url(fetch.card_url));
  add("agent-card-url", fetch.card_url);
  add("card-sha256", card.sha256);
  add("protocol-version", card.chosen_interface.protocol_version);
  add("protocol-binding", card.chosen_interface.protocol_binding);
  if (card.has_signatures) add("agent-card-signature-status", "present-unverified");
  add("auth-scheme", card.requirement.scheme_kind);
  add("oauth-token-url", card.token_url);
  add("oauth-authorization-url", card.authorization_url);
  add("oauth-metadata-url", card.oauth2_metadata_url);
  add("oidc-discovery-url", card.openid_connect_url);
  add("oauth-scopes", card.requirement.scopes);
  return options;
}

AgentCardFetch fetch_agent_card(std::string_view base_url, const HttpHeaders& extra_headers,
                                HttpRequestOptions options) {
  options.no_proxy = true;
  options.disable_redirects = true;
  HttpHeaders headers = extra_headers;
  headers["Accept"] = "application/json, application/a2a+json";
  const std::string base = agent_card_base_url(base_url);
  AgentCardFetch fetch;
  HttpResponse response;
  for (const char* suffix : {"/.well-known/agent-card.json", "/.well-known/agent.json"}) {
    fetch.card_url = base + suffix;
    response = http_get(fetch.card_url, headers, options);
    // The older path is for agents that answer the newer one with an HTTP status; a peer that
    // hangs or cannot be reached is not asked twice.
    if (!response.error.empty()) break;
    if (response.status_code >= 200 && response.status_code < 300) break;
  }
  if (!response.error.empty()) {
    fetch.card.error = "Agent Card fetch failed: " + response.error;
  } else if (response.status_code < 200 || response.status_code >= 300) {
    fetch.card.error =
        "Agent Card fetch failed with HTTP status " + std::to_string(response.status_code);
  } else {
    fetch.card = parse_agent_card(response.body, base, {});
  }
  return fetch;
}

}  // namespace tessik
