// The texts exchanged with the Codex desktop application over its IPC pipe: the requests this
// system sends (built as text with every inserted value JSON-escaped) and the answer to the
// application's client-discovery requests.
#pragma once

#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace tessik {

// What a turn request carries into the target conversation.
struct CodexTurnInput {
  std::string thread_id;
  std::string body;  // the final visible body
  std::string cwd;
  std::string client_message_id;  // the same for the steer and the start attempt
  std::string message_id;
  std::string target_agent;
};

// Turn requests are kept as templates holding this placeholder until the moment they are sent,
// so that each attempt gets its own request id.
inline constexpr std::string_view kCodexRequestIdPlaceholder = "\"requestId\":\"REQ\"";

std::string codex_initialize_request(std::string_view request_id);
std::string codex_owner_probe_request(std::string_view request_id, std::string_view thread_id);
std::string codex_start_turn_template(const CodexTurnInput& input);
std::string codex_steer_turn_template(const CodexTurnInput& input);

// The template with its placeholder replaced by `request_id`; nullopt when the template holds
// no placeholder.
std::optional<std::string> fill_codex_request_template(std::string_view request_template,
                                                       std::string_view request_id);

// The answer to a "client-discovery-request" frame: this client cannot handle it. Fields of
// the request that are missing or not text are echoed as empty strings.
std::string codex_client_discovery_answer(const nlohmann::json& request);

}  // namespace tessik
