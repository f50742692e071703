// The push configuration log: one append-only JSON Lines file where every change (creation,
// replacement, deletion) appends a complete record and the latest record of a (task, config)
// pair wins. Secrets are stored only protected for the current user, bound to their task,
// configuration and field; so is the callback URL, which may carry a key of its own. No lock: each
// record is one appended line. Readers never fail; unreadable lines are passed over.
#pragma once

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "a2a/gateway/gateway_context.h"
#include "a2a/push/push_config.h"

namespace tessik {

// A secret could not be protected ("could not protect A2A push <field>: <reason>") or the
// log could not be appended ("could not write A2A push notification config log: <path>").
class PushConfigStoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// First part of the entropy of every protected push secret (16 characters, ends in a colon);
// the same wherever push secrets are written or read.
inline constexpr char kPushSecretLabel[] = "tessik-push-cfg:";

// The label binding a protected value to its task, configuration and field ("url", "token"
// or "authentication.credentials").
std::string push_secret_label(std::string_view task_id, std::string_view config_id,
                              std::string_view field);

// The configuration log of a request: the context's path, or "a2a/pushNotificationConfigs.jsonl"
// in the state directory when the context leaves it empty.
std::filesystem::path push_config_log_path(const GatewayContext& context);

// The stored record (secrets protected; throws PushConfigStoreError when protection fails)
// or the client form, both written as text with a fixed key order.
std::string push_config_to_json(const PushConfig& config, bool stored_form);

// The protection failure's message when the configuration's secrets cannot be protected.
std::optional<std::string> check_push_config_protection(const PushConfig& config);

// Appends the stored record, creating the directory first (std::filesystem::filesystem_error
// when that fails). Throws PushConfigStoreError as above.
void append_push_config(const std::filesystem::path& log_path, const PushConfig& config);

// The live configurations of `task_id` with their secrets opened, in the order of each one's
// latest record. A blank `task_id` reads every task's configurations.
std::vector<PushConfig> read_task_push_configs(const std::filesystem::path& log_path,
                                               std::string_view task_id);

std::optional<PushConfig> find_push_config(const std::filesystem::path& log_path,
                                           std::string_view task_id, std::string_view config_id);

// Appends a deleted copy of a live configuration; false when there was none.
bool delete_push_config(const std::filesystem::path& log_path, std::string_view task_id,
                        std::string_view config_id);

}  // namespace tessik
