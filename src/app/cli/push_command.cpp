// `tessik push`: the configurations and the delivery queue as a user inspects them. Secrets
// stay out of the output: a callback is shown redacted, a token or credentials only as present.
#include "app/cli/push_command.h"

#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <string_view>

#include "a2a/push/push_config_store.h"
#include "a2a/push/push_delivery.h"
#include "a2a/push/push_url.h"
#include "base/text.h"

namespace tessik {
namespace {

using nlohmann::ordered_json;

void write_out(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
}

std::string auth_scheme(const PushConfig& config) {
  return trim(read_push_authentication(config.authentication).scheme);
}

std::string owner_text(const PushConfig& config) {
  if (!trim(config.requester_client_id).empty()) return config.requester_client_id;
  if (trim(config.requester_agent).empty()) return "-";
  return config.requester_agent + "@" + config.requester_node;
}

ordered_json config_json(const PushConfig& config) {
  ordered_json out;
  out["taskId"] = config.task_id;
  out["id"] = config.id;
  out["callback"] = redact_callback_url(config.url);
  out["hasToken"] = !trim(config.token).empty();
  out["authenticationScheme"] = auth_scheme(config);
  out["requesterClientId"] = config.requester_client_id;
  out["requesterAgent"] = config.requester_agent;
  out["requesterNode"] = config.requester_node;
  return out;
}

ordered_json delivery_json(const PushDelivery& delivery) {
  ordered_json out;
  out["deliveryId"] = delivery.delivery_id;
  out["taskId"] = delivery.task_id;
  out["configId"] = delivery.config_id;
  out["callback"] = delivery.callback;
  out["state"] = delivery.state;
  out["attempt"] = delivery.attempt;
  out["maxAttempts"] = delivery.max_attempts;
  out["statusCode"] = delivery.status_code;
  out["dueAtEpochMs"] = delivery.due_at_epoch_ms;
  out["error"] = delivery.error;
  return out;
}

std::map<std::string, int> count_states(const std::vector<PushDelivery>& deliveries) {
  std::map<std::string, int> counts{{"pending", 0}, {"delivered", 0}, {"dead_letter", 0}};
  for (const PushDelivery& delivery : deliveries)
    ++counts[ascii_lower(trim(delivery.state))];
  return counts;
}

void print_json(const std::vector<PushConfig>& configs,
                const std::vector<PushDelivery>& deliveries) {
  ordered_json out;
  out["configs"] = ordered_json::array();
  for (const PushConfig& config : configs)
    out["configs"].push_back(config_json(config));
  out["deliveries"] = ordered_json::array();
  for (const PushDelivery& delivery : deliveries)
    out["deliveries"].push_back(delivery_json(delivery));
  out["counts"] = count_states(deliveries);
  write_out(out.dump(2, ' ', false, ordered_json::error_handler_t::replace) + "\n");
}

void print_text(const std::vector<PushConfig>& configs,
                const std::vector<PushDelivery>& deliveries) {
  write_out("configurations: " + std::to_string(configs.size()) + "\n");
  for (const PushConfig& config : configs) {
    const std::string scheme = auth_scheme(config);
    write_out("  " + config.task_id + "\t" + config.id + "\t" + redact_callback_url(config.url) +
              "\ttoken=" + (trim(config.token).empty() ? "no" : "yes") +
              "\tauth=" + (scheme.empty() ? "-" : scheme) + "\towner=" + owner_text(config) + "\n");
  }
  const std::map<std::string, int> counts = count_states(deliveries);
  write_out("deliveries: " + std::to_string(counts.at("pending")) + " pending, " +
            std::to_string(counts.at("delivered")) + " delivered, " +
            std::to_string(counts.at("dead_letter")) + " dead-lettered\n");
  for (const PushDelivery& delivery : deliveries) {
    std::string line = "  " + delivery.state + "\t" + delivery.task_id + "\t" + delivery.config_id +
                       "\t" + delivery.callback + "\tattempt " + std::to_string(delivery.attempt) +
                       "/" + std::to_string(delivery.max_attempts) + "\tstatus " +
                       std::to_string(delivery.status_code);
    if (!delivery.error.empty()) line += "\t" + delivery.error;
    write_out(line + "\n");
  }
}

}  // namespace

int run_push_command(const std::vector<std::string>& args) {
  bool as_json = false;
  for (const std::string& arg : args) {
    if (arg == "--json") {
      as_json = true;
    } else {
      std::fprintf(stderr, "usage: tessik push [--json]\n");
      return 2;
    }
  }
  const GatewayContext defaults;  // every path empty: the state directory's own files
  const std::vector<PushConfig> configs =
      read_task_push_configs(push_config_log_path(defaults), "");
  const std::vector<PushDelivery> deliveries = read_push_queue(push_queue_paths(defaults).pending);
  if (as_json) {
    print_json(configs, deliveries);
  } else {
    print_text(configs, deliveries);
  }
  return 0;
}

}  // namespace tessik
