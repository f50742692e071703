// GatewayContext: the per-request configuration the broker hands to the gateway handler.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/http_client.h"
#include "wire/envelope.h"

namespace tessik {

// What a callback host resolved to: the addresses as numeric text, or an error.
struct A2aDnsResolveResult {
  std::vector<std::string> addresses;
  std::string error;
};

// Replacements of push delivery's network steps, for tests and benchmarks: a sender called
// instead of the HTTP client with the URL, the payload and the headers, and a resolver called
// instead of the system's for a callback host.
using PushCallbackSender = std::function<HttpResponse(
    const std::string& url, const std::string& payload, const HttpHeaders& headers)>;
using PushCallbackResolver = std::function<A2aDnsResolveResult(const std::string& host)>;

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

  // The broker sets neither: callbacks go through the HTTP client and the system resolver.
  PushCallbackSender push_sender;
  PushCallbackResolver push_resolver;
};

}  // namespace tessik
