// GatewayContext: the per-request configuration the broker hands to the gateway handler.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "wire/envelope.h"

namespace tessik {

struct GatewayContext {
  std::string bind_host = "127.0.0.1";
  std::uint16_t port = 37661;
  std::string endpoint_url = "http://127.0.0.1:37661/a2a";

  bool require_auth = true;
  bool reserved_switch = false;  // carried for compatibility; nothing reads it
  bool trust_broker_principal = false;

  std::string local_bearer_token;
  // Copied into card options: the security scheme name, then four further card texts.
  std::string security_scheme_name;
  std::array<std::string, 4> card_texts;
  std::vector<std::string> security_scopes;

  Principal principal;

  std::filesystem::path clients_path;  // empty: <state>/a2a/clients.tsv
  std::filesystem::path tasks_path;
  std::filesystem::path push_configs_path;
  std::filesystem::path push_pending_path;
  std::filesystem::path push_delivery_path;
  std::filesystem::path push_dead_letter_path;

  std::uint32_t push_max_attempts = 2;
  std::uint32_t push_retry_delay_ms = 100;
  std::uint32_t push_deliveries_per_run = 10;
};

}  // namespace tessik
