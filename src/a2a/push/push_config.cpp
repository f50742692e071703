// Reading, checking and rendering push configurations. Client forms are written as text so
// that their key order is fixed.
#include "a2a/push/push_config.h"

#include <nlohmann/json.hpp>

#include "a2a/gateway/scopes.h"
#include "a2a/push/push_url.h"
#include "base/json_depth.h"
#include "base/random.h"
#include "base/text.h"

namespace tessik {
namespace {

using nlohmann::json;

std::string string_member(const json& object, const char* name) {
  if (!object.is_object()) return {};
  const auto it = object.find(name);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// Older clients name the scheme in a list: {"schemes":["Bearer"],"credentials":...}.
std::string authentication_text(const json& object) {
  if (!object.is_object()) return {};
  const auto it = object.find("authentication");
  if (it == object.end() || it->is_null()) return {};
  if (it->is_object() && !it->contains("scheme")) {
    const auto schemes = it->find("schemes");
    if (schemes != it->end() && schemes->is_array() && !schemes->empty() &&
        schemes->front().is_string()) {
      json rebuilt = json::object();
      rebuilt["scheme"] = schemes->front();
      if (it->contains("credentials")) rebuilt["credentials"] = (*it)["credentials"];
      return rebuilt.dump();
    }
  }
  return it->dump();
}

json parse_object(std::string_view text) {
  if (!json_nesting_within(text)) return json::object();
  json parsed = json::parse(text, nullptr, false);
  return parsed.is_object() ? parsed : json::object();
}

bool has_line_break_or_tab(std::string_view text) {
  return text.find_first_of("\t\r\n") != std::string_view::npos;
}

bool is_safe_scheme(std::string_view scheme) {
  if (scheme.empty() || scheme.size() > 64) return false;
  auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  if (!letter(scheme.front())) return false;
  for (char c : scheme) {
    const bool digit = c >= '0' && c <= '9';
    if (!letter(c) && !digit && c != '-' && c != '.' && c != '_' && c != '~') return false;
  }
  return true;
}

bool is_safe_credentials(std::string_view credentials) {
  if (credentials.size() > 8192) return false;
  for (unsigned char c : credentials) {
    if (c < 0x20 || c == 0x7f) return false;
  }
  return true;
}

std::optional<std::string> validate_authentication(std::string_view authentication) {
  const std::string text = trim(authentication);
  if (text.empty()) return std::nullopt;
  if (text.front() != '{' || text.back() != '}')
    return "A2A push notification config authentication must be an object.";
  const PushAuthentication parts = read_push_authentication(text);
  const std::string scheme = trim(parts.scheme);
  const std::string credentials = trim(parts.credentials);
  if (scheme.empty() != credentials.empty())
    return "A2A push notification config authentication requires both scheme and credentials.";
  if (!scheme.empty() && !is_safe_scheme(scheme))
    return "A2A push notification config authentication scheme is not safe for Authorization "
           "headers.";
  if (!credentials.empty() && !is_safe_credentials(parts.credentials))
    return "A2A push notification config authentication credentials are not safe for "
           "Authorization headers.";
  return std::nullopt;
}

void append_v03_authentication(std::string& out, const std::string& authentication) {
  const PushAuthentication parts = read_push_authentication(authentication);
  out += ",\"authentication\":{\"schemes\":[";
  if (!trim(parts.scheme).empty()) {
    out += '"';
    append_json_escaped(out, trim(parts.scheme));
    out += '"';
  }
  out += "]";
  if (!parts.credentials.empty()) {
    out += ',';
    append_json_string_member(out, "credentials", parts.credentials);
  }
  out += '}';
}

}  // namespace

PushConfig push_config_from_object(const json& object, std::string_view task_id,
                                   const Principal& principal) {
  PushConfig config;
  for (const std::string& candidate :
       {string_member(object, "taskId"), string_member(object, "task_id"), std::string(task_id)}) {
    if (!trim(candidate).empty()) {
      config.task_id = trim(candidate);
      break;
    }
  }
  config.id = trim(string_member(object, "id"));
  if (config.id.empty()) config.id = random_hex_token();
  config.url = string_member(object, "url");
  config.token = string_member(object, "token");
  config.authentication = authentication_text(object);
  if (principal.authenticated) {
    config.requester_client_id = principal.client_id;
    config.requester_agent = principal.sender_agent;
    config.requester_node = trim(principal.sender_node).empty() ? "local" : principal.sender_node;
  }
  return config;
}

PushConfig parse_push_config_request(std::string_view body, std::string_view task_id,
                                     const Principal& principal) {
  return push_config_from_object(parse_object(body), task_id, principal);
}

std::optional<PushConfig> push_config_from_send(std::string_view configuration_json,
                                                std::string_view task_id,
                                                const Principal& principal) {
  const json configuration = parse_object(configuration_json);
  for (const char* name : {"taskPushNotificationConfig", "pushNotificationConfig"}) {
    const auto it = configuration.find(name);
    // An empty object asks for nothing; any other non-null value is a configuration to check
    // (a text or a list then fails validation for want of a url).
    if (it == configuration.end() || it->is_null() || (it->is_object() && it->empty())) continue;
    PushConfig config = push_config_from_object(*it, task_id, principal);
    config.task_id = trim(task_id);
    return config;
  }
  return std::nullopt;
}

std::optional<std::string> validate_push_config(const PushConfig& config) {
  if (trim(config.task_id).empty()) return "A2A push notification config requires taskId.";
  if (trim(config.id).empty()) return "A2A push notification config requires id.";
  if (trim(config.url).empty()) return "A2A push notification config requires url.";
  if (!is_push_url_allowed(config.url))
    return "A2A push notification config url must be https or loopback http.";
  const std::pair<const char*, const std::string*> fields[] = {
      {"taskId", &config.task_id},
      {"id", &config.id},
      {"url", &config.url},
      {"token", &config.token},
      {"authentication", &config.authentication},
      {"requester client id", &config.requester_client_id},
      {"requester agent", &config.requester_agent},
      {"requester node", &config.requester_node}};
  for (const auto& [name, value] : fields) {
    if (has_line_break_or_tab(*value))
      return std::string("A2A push notification config ") + name +
             " cannot contain tabs or newlines.";
  }
  return validate_authentication(config.authentication);
}

PushAuthentication read_push_authentication(std::string_view authentication) {
  const json object = parse_object(authentication);
  return {string_member(object, "scheme"), string_member(object, "credentials")};
}

std::string push_config_to_v03_json(const PushConfig& config) {
  std::string out = "{";
  append_json_string_member(out, "taskId", config.task_id);
  out += ",\"pushNotificationConfig\":{";
  append_json_string_member(out, "id", config.id);
  out += ',';
  append_json_string_member(out, "url", config.url);
  if (!config.token.empty()) {
    out += ',';
    append_json_string_member(out, "token", config.token);
  }
  if (!trim(config.authentication).empty()) append_v03_authentication(out, config.authentication);
  out += "}}";
  return out;
}

bool is_push_config_visible(const PushConfig& config, const Principal& principal) {
  return caller_owns_record({config.requester_client_id, config.requester_agent,
                             trim(config.requester_node).empty() ? "local" : config.requester_node},
                            principal);
}

}  // namespace tessik
