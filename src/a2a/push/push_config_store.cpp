// The configuration log on disk. Stored records are written as text so that their key order
// is fixed; they are read back with the JSON library, one bounded line at a time.
#include "a2a/push/push_config_store.h"

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>
#include <unordered_set>

#include "a2a/tasks/log_scan/appended_log.h"
#include "a2a/tasks/task_log.h"
#include "base/json_depth.h"
#include "base/text.h"
#include "registry/local_secrets.h"
#include "state/state_dir.h"

namespace tessik {
namespace {

using nlohmann::json;

constexpr char kUrlField[] = "url";
constexpr char kTokenField[] = "token";
constexpr char kCredentialsField[] = "authentication.credentials";

std::string protect_field(const PushConfig& config, std::string_view plain, const char* field) {
  std::string error;
  std::string protected_text =
      protect_local_secret(plain, push_secret_label(config.task_id, config.id, field), error);
  if (protected_text.empty()) {
    throw PushConfigStoreError(std::string("could not protect A2A push ") + field + ": " + error);
  }
  return protected_text;
}

std::string unprotect_field(const PushConfig& config, std::string_view stored, const char* field) {
  std::string error;
  try {
    return unprotect_local_user_secret(stored, push_secret_label(config.task_id, config.id, field),
                                       error);
  } catch (const std::exception&) {
    return {};  // damaged Base64: the secret reads as absent
  }
}

std::string text_member(const json& object, const char* name) {
  const auto it = object.find(name);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

bool deleted_flag(const json& object) {
  const auto it = object.find("deleted");
  if (it == object.end()) return false;
  if (it->is_boolean()) return it->get<bool>();
  if (it->is_number_integer()) return it->get<long long>() == 1;
  if (it->is_string()) {
    const std::string text = trim(it->get<std::string>());
    return text == "true" || text == "1";
  }
  return false;
}

void append_stored_authentication(std::string& out, const PushConfig& config) {
  const std::string text = trim(config.authentication);
  if (text.empty()) return;
  const PushAuthentication parts = read_push_authentication(text);
  out += ",\"authentication\":";
  if (parts.credentials.empty()) {
    out += text;
    return;
  }
  out += '{';
  if (!trim(parts.scheme).empty()) {
    append_json_string_member(out, "scheme", parts.scheme);
    out += ',';
  }
  append_json_string_member(out, "protectedCredentials",
                            protect_field(config, parts.credentials, kCredentialsField));
  out += ",\"protectedBy\":\"dpapi-user-v1\"}";
}

std::string read_authentication(const json& value, const PushConfig& config, bool open_secrets) {
  if (value.is_string()) return value.get<std::string>();
  if (!value.is_object()) return {};
  if (!value.contains("protectedCredentials")) return value.dump();
  if (!open_secrets) return {};
  const std::string scheme = text_member(value, "scheme");
  const std::string credentials =
      unprotect_field(config, text_member(value, "protectedCredentials"), kCredentialsField);
  std::string out = "{";
  if (!trim(scheme).empty()) {
    append_json_string_member(out, "scheme", scheme);
    out += ',';
  }
  append_json_string_member(out, "credentials", credentials);
  out += '}';
  return out;
}

// Secrets are opened only when asked: a reader first finds the latest record of each
// configuration and opens the secrets of those alone.
std::optional<PushConfig> parse_stored_line(std::string_view line, bool open_secrets) {
  if (!json_nesting_within(line)) return std::nullopt;
  const json object = json::parse(line, nullptr, false);
  if (!object.is_object()) return std::nullopt;
  PushConfig config;
  config.task_id = text_member(object, "taskId");
  config.id = text_member(object, "id");
  config.url = text_member(object, "url");
  if (trim(config.task_id).empty() || trim(config.id).empty() || trim(config.url).empty())
    return std::nullopt;
  if (open_secrets && is_user_protected_secret(config.url)) {
    config.url = unprotect_field(config, config.url, kUrlField);
    if (trim(config.url).empty()) return std::nullopt;
  }
  config.token = text_member(object, "token");
  if (config.token.empty() && open_secrets) {
    const std::string stored = text_member(object, "protectedToken");
    if (!stored.empty()) config.token = unprotect_field(config, stored, kTokenField);
  }
  if (const auto it = object.find("authentication"); it != object.end())
    config.authentication = read_authentication(*it, config, open_secrets);
  config.deleted = deleted_flag(object);
  if (const auto metadata = object.find("metadata");
      metadata != object.end() && metadata->is_object()) {
    config.requester_client_id = text_member(*metadata, "tessikRequesterClientId");
    config.requester_agent = text_member(*metadata, "tessikRequesterAgent");
    config.requester_node = text_member(*metadata, "tessikRequesterNode");
  }
  if (trim(config.requester_node).empty()) config.requester_node = "local";
  return config;
}

// The task ids the records of one configuration log name, kept current by reading only the
// lines appended since the last look: most tasks have no configuration, and a request for one
// of those must not read the whole log.
class ConfigLogTasks {
 public:
  explicit ConfigLogTasks(std::filesystem::path path) : path_(std::move(path)) {}
  const std::filesystem::path& log_path() const { return path_; }

  bool names(const std::string& task_id) {
    bool restarted = false;
    const TaskLogFile file = reader_.open(path_, restarted);
    if (restarted) tasks_.clear();
    if (!file) return false;
    std::string unfinished;
    reader_.read_appended(
        file.get(), [this](std::string_view line, std::uint64_t) { note(tasks_, line); },
        unfinished);
    if (tasks_.contains(task_id)) return true;
    // A last line without its line break counts for this look only, as it does for a reader
    // of the whole log.
    std::unordered_set<std::string> last;
    note(last, trim_view(unfinished));
    return last.contains(task_id);
  }

 private:
  static void note(std::unordered_set<std::string>& tasks, std::string_view line) {
    if (line.empty()) return;
    if (std::optional<PushConfig> config = parse_stored_line(line, false))
      tasks.insert(trim(config->task_id));
  }

  std::filesystem::path path_;
  AppendedLogReader reader_;
  std::unordered_set<std::string> tasks_;
};

bool config_log_names_task(const std::filesystem::path& log_path, const std::string& task_id) {
  static auto* const views = new SharedLogViews<ConfigLogTasks>();  // outlives static users
  bool named = false;
  views->with(log_path, [&](ConfigLogTasks& tasks) { named = tasks.names(task_id); });
  return named;
}

}  // namespace

std::string push_secret_label(std::string_view task_id, std::string_view config_id,
                              std::string_view field) {
  return std::string(kPushSecretLabel) + trim(task_id) + ":" + trim(config_id) + ":" +
         std::string(field);
}

std::filesystem::path push_config_log_path(const GatewayContext& context) {
  if (!context.push_configs_path.empty()) return context.push_configs_path;
  return a2a_directory() / "pushNotificationConfigs.jsonl";
}

std::string push_config_to_json(const PushConfig& config, bool stored_form) {
  std::string out = "{";
  append_json_string_member(out, "taskId", config.task_id);
  out += ',';
  append_json_string_member(out, "id", config.id);
  out += ',';
  if (!stored_form) {
    append_json_string_member(out, "url", config.url);
    if (!config.token.empty()) {
      out += ',';
      append_json_string_member(out, "token", config.token);
    }
    if (!trim(config.authentication).empty())
      out += ",\"authentication\":" + trim(config.authentication);
    return out + "}";
  }
  // The callback URL may carry a secret of its own (a key in its query or path), so the
  // state directory holds it only protected.
  append_json_string_member(out, "url", protect_field(config, config.url, kUrlField));
  if (!trim(config.token).empty()) {
    out += ',';
    append_json_string_member(out, "protectedToken",
                              protect_field(config, config.token, kTokenField));
  }
  append_stored_authentication(out, config);
  out += config.deleted ? ",\"deleted\":true" : ",\"deleted\":false";
  out += ",\"metadata\":{";
  append_json_string_member(out, "tessikRequesterClientId", config.requester_client_id);
  out += ',';
  append_json_string_member(out, "tessikRequesterAgent", config.requester_agent);
  out += ',';
  append_json_string_member(out, "tessikRequesterNode",
                            trim(config.requester_node).empty() ? "local" : config.requester_node);
  return out + "}}";
}

std::optional<std::string> check_push_config_protection(const PushConfig& config) {
  try {
    push_config_to_json(config, true);
  } catch (const PushConfigStoreError& error) {
    return std::string(error.what());
  }
  return std::nullopt;
}

void append_push_config(const std::filesystem::path& log_path, const PushConfig& config) {
  if (!append_json_line(log_path, push_config_to_json(config, true))) {
    throw PushConfigStoreError("could not write A2A push notification config log: " +
                               log_path.string());
  }
}

std::vector<PushConfig> read_task_push_configs(const std::filesystem::path& log_path,
                                               std::string_view task_id) {
  const std::string wanted = trim(task_id);
  if (!wanted.empty() && !config_log_names_task(log_path, wanted)) return {};
  std::map<std::string, std::pair<std::uint64_t, std::string>> latest;
  for_each_task_log_line(log_path, [&](std::string_view line, std::uint64_t offset) {
    // Most lines belong to other tasks; only a line that names the task (or spells
    // something with escapes) is worth parsing.
    if (!wanted.empty() && line.find(wanted) == std::string_view::npos &&
        line.find('\\') == std::string_view::npos)
      return;
    const std::optional<PushConfig> config = parse_stored_line(line, false);
    if (!config || (!wanted.empty() && trim(config->task_id) != wanted)) return;
    std::pair<std::uint64_t, std::string>& slot =
        latest[trim(config->task_id) + '\n' + trim(config->id)];
    slot = {offset, config->deleted ? std::string() : std::string(line)};
  });
  std::vector<std::pair<std::uint64_t, std::string>> ordered;
  for (auto& [key, entry] : latest) {
    if (!entry.second.empty()) ordered.push_back(std::move(entry));
  }
  std::sort(ordered.begin(), ordered.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<PushConfig> configs;
  configs.reserve(ordered.size());
  for (const auto& entry : ordered) {
    if (std::optional<PushConfig> config = parse_stored_line(entry.second, true))
      configs.push_back(std::move(*config));
  }
  return configs;
}

std::optional<PushConfig> find_push_config(const std::filesystem::path& log_path,
                                           std::string_view task_id, std::string_view config_id) {
  const std::string wanted = trim(config_id);
  for (PushConfig& config : read_task_push_configs(log_path, task_id)) {
    if (config.id == wanted) return std::move(config);
  }
  return std::nullopt;
}

bool delete_push_config(const std::filesystem::path& log_path, std::string_view task_id,
                        std::string_view config_id) {
  std::optional<PushConfig> config = find_push_config(log_path, task_id, config_id);
  if (!config) return false;
  config->deleted = true;
  append_push_config(log_path, *config);
  return true;
}

}  // namespace tessik
