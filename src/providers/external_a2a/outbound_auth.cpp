// Outbound credential resolution. Credentials live only in environment variables and in the
// token endpoint's answer; the registry names the variables, and no note carries a secret.
#include "providers/external_a2a/outbound_auth.h"

#include <cstdlib>
#include <nlohmann/json.hpp>

#include "base/json_depth.h"
#include "base/text.h"
#include "registry/local_secrets.h"
#include "state/state_dir.h"

namespace tessik {
namespace {

constexpr char kNotOverHttp[] = "A2A credentials will not be sent to a non-HTTPS service URL.";

// No credential of any kind travels to a plain-HTTP service.
bool https_service(const AgentRecord& agent) {
  const std::optional<UrlOrigin> service = parse_url_origin(agent.provider_session_id);
  return service && service->scheme == "https";
}

bool is_env_name(std::string_view name) {
  if (name.empty()) return false;
  const auto letter = [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
  };
  if (!letter(name.front())) return false;
  for (const char c : name) {
    if (!letter(c) && !(c >= '0' && c <= '9')) return false;
  }
  return true;
}

// The value of the variable named by option `key`, or the refusal in `error`.
std::string env_reference(const AgentRecord& agent, const char* key, const char* description,
                          std::string& error) {
  const std::string name = target_option(agent, key);
  if (name.empty()) {
    error = std::string("A2A target requires a target-bound ") + description +
            " environment reference in alias " + key + ".";
    return {};
  }
  if (!is_env_name(name)) {
    error = std::string("A2A target alias ") + key + " does not name a valid environment variable.";
    return {};
  }
  const char* value = std::getenv(name.c_str());
  const std::string text = value == nullptr ? std::string() : trim(value);
  if (text.empty()) error = "A2A target-bound environment variable " + name + " is not configured.";
  return text;
}

bool option_true(const AgentRecord& agent, const char* key) {
  const std::string value = ascii_lower(target_option(agent, key));
  return value == "true" || value == "1" || value == "yes";
}

// The token from a 2xx answer, or "" with `error` set.
std::string token_from(const HttpResponse& response, std::string& error) {
  if (!response.error.empty()) {
    error = "OAuth client-credentials token request failed: " + response.error;
    return {};
  }
  if (response.status_code < 200 || response.status_code >= 300) {
    error = "OAuth client-credentials token request failed with HTTP status " +
            std::to_string(response.status_code);
    return {};
  }
  const nlohmann::json body = json_nesting_within(response.body)
                                  ? nlohmann::json::parse(response.body, nullptr, false)
                                  : nlohmann::json();
  std::string token;
  if (body.is_object() && body.contains("access_token") && body["access_token"].is_string()) {
    token = trim(body["access_token"].get<std::string>());
  }
  if (token.empty()) {
    error = "OAuth client-credentials token request failed: the answer carried no access_token";
  }
  return token;
}

OutboundAuth client_credentials(const AgentRecord& agent, const HttpRequestOptions& base_options) {
  OutboundAuth auth;
  if (!https_service(agent)) return {{}, {}, kNotOverHttp};
  std::string id_error;
  std::string secret_error;
  const std::string id = env_reference(agent, "oauth-client-id-env", "OAuth client id", id_error);
  const std::string secret =
      env_reference(agent, "oauth-client-secret-env", "OAuth client secret", secret_error);
  if (!id_error.empty() || !secret_error.empty()) {
    auth.error = "A2A target-bound OAuth client credentials are not configured.";
    return auth;
  }
  const std::string token_url = target_option(agent, "oauth-token-url");
  const std::optional<UrlOrigin> token_origin = parse_url_origin(token_url);
  if (!token_origin || token_origin->scheme != "https") {
    auth.error = "A2A OAuth token endpoint must be an absolute HTTPS URL.";
    return auth;
  }
  const std::optional<UrlOrigin> service = parse_url_origin(agent.provider_session_id);
  if (!service) {
    auth.error = "A2A target service URL is invalid.";
    return auth;
  }
  if (*service != *token_origin && !option_true(agent, "oauth-cross-origin-approved")) {
    auth.error =
        "A2A OAuth token endpoint is cross-origin and requires target alias "
        "oauth-cross-origin-approved=true.";
    return auth;
  }
  const std::string scopes = target_option(agent, "oauth-scopes");
  std::string body = "grant_type=client_credentials";
  if (!scopes.empty()) body += "&scope=" + form_encode(scopes);
  HttpRequestOptions options = base_options;
  options.no_proxy = true;
  options.disable_redirects = true;
  if (options.current_user_certificate_root.empty()) {
    options.current_user_certificate_root = user_certificates_directory();
  }
  const char* kForm = "application/x-www-form-urlencoded";
  HttpResponse response =
      http_post(token_url, body, {{"Authorization", "Basic " + base64_encode(id + ":" + secret)}},
                kForm, options);
  if (!response.error.empty() || response.status_code < 200 || response.status_code >= 300) {
    const std::string in_body =
        body + "&client_id=" + form_encode(id) + "&client_secret=" + form_encode(secret);
    response = http_post(token_url, in_body, {}, kForm, options);
  }
  const std::string token = token_from(response, auth.error);
  if (token.empty()) return auth;
  auth.authorization = "Bearer " + token;
  auth.note = "auth=oauth2_client_credentials token_url=" + token_url + " scopes=" + scopes;
  return auth;
}

OutboundAuth bearer_from(const AgentRecord& agent, const char* key, const char* description,
                         const char* note) {
  OutboundAuth auth;
  if (!https_service(agent)) return {{}, {}, kNotOverHttp};
  const std::string token = env_reference(agent, key, description, auth.error);
  if (!auth.error.empty()) return auth;
  auth.authorization = "Bearer " + token;
  auth.note = note;
  return auth;
}

}  // namespace

std::string target_option(const AgentRecord& agent, std::string_view key) {
  const std::string wanted = ascii_lower(key);
  for (const std::string& alias : agent.aliases) {
    const std::size_t equals = alias.find('=');
    if (equals == std::string::npos) continue;
    std::string name = ascii_lower(trim(std::string_view(alias).substr(0, equals)));
    if (name.rfind("a2a:", 0) == 0) name = trim(std::string_view(name).substr(4));
    if (name == wanted) return trim(std::string_view(alias).substr(equals + 1));
  }
  return {};
}

std::optional<UrlOrigin> parse_url_origin(std::string_view url) {
  const std::string text = trim(url);
  const std::size_t colon = text.find("://");
  if (colon == std::string::npos) return std::nullopt;
  UrlOrigin origin;
  origin.scheme = ascii_lower(std::string_view(text).substr(0, colon));
  if (origin.scheme != "http" && origin.scheme != "https") return std::nullopt;
  std::string authority = text.substr(colon + 3, text.find_first_of("/?#", colon + 3) - colon - 3);
  if (authority.find('@') != std::string::npos)
    authority = authority.substr(authority.rfind('@') + 1);
  std::size_t host_end = authority.size();
  if (!authority.empty() && authority.front() == '[') {
    host_end = authority.find(']');
    if (host_end == std::string::npos) return std::nullopt;
    ++host_end;
  } else if (const std::size_t port_colon = authority.rfind(':'); port_colon != std::string::npos) {
    host_end = port_colon;
  }
  origin.host = ascii_lower(authority.substr(0, host_end));
  if (origin.host.empty() || origin.host.find_first_of(" \t\r\n") != std::string::npos) {
    return std::nullopt;
  }
  origin.port = host_end < authority.size() && authority[host_end] == ':'
                    ? authority.substr(host_end + 1)
                    : "";
  for (const char c : origin.port) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  if (origin.port.empty()) origin.port = origin.scheme == "https" ? "443" : "80";
  return origin;
}

std::string form_encode(std::string_view value) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '.' || c == '_' || c == '~') {
      out.push_back(c);
    } else if (c == ' ') {
      out.push_back('+');
    } else {
      out.push_back('%');
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0x0F]);
    }
  }
  return out;
}

OutboundAuth resolve_outbound_auth(const AgentRecord& agent, const HttpRequestOptions& options) {
  const std::string scheme = ascii_lower(target_option(agent, "auth-scheme"));
  if (scheme.empty() || scheme == "none") return {{}, "auth=none", {}};
  if (scheme == "http-bearer") {
    return bearer_from(agent, "bearer-token-env", "bearer token", "auth=target_bound_bearer");
  }
  if (scheme == "oauth2" || scheme == "oidc") {
    if (!target_option(agent, "oauth-access-token-env").empty()) {
      return bearer_from(agent, "oauth-access-token-env", "OAuth access token",
                         "auth=target_bound_oauth_access_token");
    }
    if (scheme == "oidc") {
      return {{},
              {},
              "A2A OIDC targets require a target-bound oauth-access-token-env; OIDC "
              "token acquisition is not implemented."};
    }
    return client_credentials(agent, options);
  }
  return {
      {}, {}, "A2A target security requirement is not supported for outbound delivery: " + scheme};
}

}  // namespace tessik
