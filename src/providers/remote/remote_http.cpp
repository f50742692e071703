// The HTTPS transports: direct A2A with its Agent Card preflight, the hosted A2A relay, and
// the legacy message API.
#include <nlohmann/json.hpp>

#include "base/json_depth.h"
#include "base/random.h"
#include "base/text.h"
#include "platform/http_client.h"
#include "providers/external_a2a/agent_card.h"
#include "providers/remote/remote_messages.h"
#include "providers/remote/remote_transports.h"
#include "state/state_dir.h"

namespace tessik {
namespace {

bool is_https(std::string_view url) { return ascii_lower(url).rfind("https://", 0) == 0; }
bool is_access_token(std::string_view token) { return token.rfind(kAccessTokenPrefix, 0) == 0; }

std::string without_trailing_slash(std::string url) {
  while (!url.empty() && url.back() == '/') url.pop_back();
  return url;
}

HttpRequestOptions request_options() {
  HttpRequestOptions options;
  options.disable_redirects = true;
  options.current_user_certificate_root = user_certificates_directory();
  return options;
}

HttpHeaders tessik_headers(const std::string& token) {
  return {{"Authorization", "Bearer " + token},
          {"X-Tessik-Request-Id", random_hex_token()},
          {"X-Tessik-Timestamp", utc_timestamp_now()}};
}

// The card fetch's refusal in the words of the preflight: an HTTP status as "returned HTTP",
// anything else (transport failures, unusable cards) as "failed".
std::string preflight_error(const std::string& fetch_error) {
  constexpr std::string_view kStatusPrefix = "Agent Card fetch failed with HTTP status ";
  if (fetch_error.starts_with(kStatusPrefix)) {
    return "remote A2A Agent Card preflight returned HTTP " +
           fetch_error.substr(kStatusPrefix.size());
  }
  return "remote A2A Agent Card preflight failed: " + fetch_error;
}

bool success_status(std::uint32_t status) { return status >= 200 && status < 300; }

// Posts a JSON-RPC SendMessage and reads its answer, recording both in `task`; nothing here is
// safe to fall back from, since the request may have reached the remote node.
RemoteAttempt post_json_rpc(const RemoteCall& call, std::string_view method,
                            const std::string& url, HttpHeaders headers, std::string evidence,
                            ExternalSendTask task, std::string_view task_endpoint) {
  headers["A2A-Version"] = "1.0";
  const std::string body =
      remote_send_message_request(call.request, call.remote_target, call.node.node_id,
                                  random_hex_token());
  record_external_send_started(task, task_endpoint);
  const HttpResponse response = http_post(url, body, headers, "application/json", request_options());
  record_external_send_answer(task, external_task_outcome(response, true),
                              "External A2A HTTP status " + std::to_string(response.status_code) +
                                  " body=" + recorded_response_body(response.body));
  evidence += " status=" + std::to_string(response.status_code);
  RemoteAttempt attempt;
  if (!response.error.empty()) {
    attempt = remote_attempt_failed(call, method, "remote A2A request failed: " + response.error, evidence);
  } else if (!success_status(response.status_code)) {
    attempt = remote_attempt_failed(call, method, "remote A2A request returned HTTP " + std::to_string(response.status_code),
                  evidence + " body=" + diagnostic_excerpt(response.body));
  } else {
    const JsonRpcAnswer answer = read_json_rpc_answer(response.body);
    if (!answer.found || !answer.accepted) {
      const std::string why = answer.found ? answer.error : "no JSON-RPC response";
      attempt = remote_attempt_failed(call, method, "remote A2A request failed: " + why, evidence);
    } else {
      attempt = remote_attempt_accepted(call, method,
                                        evidence + " remote_task_id=" + answer.task_id +
                                            " remote_task_state=" + answer.task_state);
    }
  }
  attempt.task = std::move(task);
  return attempt;
}

// The preflight's refusal as the local task records it: an HTTP status or another failure.
ExternalSendEvent preflight_outcome(const std::string& error) {
  const bool status = error.starts_with("remote A2A Agent Card preflight returned HTTP ");
  return {"TASK_STATE_FAILED",
          status ? "TESSIK_EXTERNAL_A2A_HTTP_STATUS" : "TESSIK_EXTERNAL_A2A_HTTP_ERROR", error};
}

}  // namespace

RemoteAttempt send_a2a_https(const RemoteCall& call) {
  constexpr std::string_view kPreflight = "a2a_https_preflight";
  const std::string method(remote_transport_method(RemoteTransport::a2a_https));
  const std::string url = without_trailing_slash(trim(call.node.api_url));
  const std::string& token = call.node.pairing_secret;
  RemoteAttempt refusal;
  if (url.empty()) {
    refusal = remote_attempt_failed(call, method, "remote node has no api_url for direct A2A delivery");
  } else if (token.empty()) {
    refusal = remote_attempt_failed(call, method,
                     "remote node has no durable bearer token; complete node pairing first");
  } else if (!is_access_token(token)) {
    refusal = remote_attempt_failed(call, method,
                     "remote node stores a one-time pairing code, not a durable access token; "
                     "complete pairing first");
  } else if (!is_https(url)) {
    refusal = remote_attempt_failed(call, kPreflight, "direct inter-node A2A requires an HTTPS api_url");
  } else {
    // The A2A attempt starts with the preflight, so its local task does too: a legacy
    // fallback after a failed preflight then supersedes that task.
    ExternalSendTask task = external_send_task(call.request);
    const AgentCardFetch fetch = fetch_agent_card(url, {}, request_options());
    if (!fetch.card.error.empty()) {
      const std::string error = preflight_error(fetch.card.error);
      refusal = remote_attempt_failed(call, kPreflight, error, "card_url=" + fetch.card_url);
      record_external_send_answer(task, preflight_outcome(error),
                                  error + " card_url=" + fetch.card_url);
      refusal.task = std::move(task);
      refusal.fallback_safe = true;
      return refusal;
    }
    return post_json_rpc(call, method, url, tessik_headers(token),
                         "endpoint=" + url + " preflight=agent_card_ok", std::move(task), url);
  }
  // Nothing was sent: a node that cannot use this transport may use the next one.
  refusal.fallback_safe = true;
  return refusal;
}

RemoteAttempt send_a2a_relay(const RemoteCall& call) {
  const std::string method(remote_transport_method(RemoteTransport::a2a_relay));
  const std::string url = trim(call.node.api_url);
  const std::string& token = call.node.pairing_secret;
  if (url.empty() || !is_access_token(token)) {
    return remote_attempt_failed(call, method,
                  "hosted A2A relay requires relay api_url and durable relay access token");
  }
  if (!is_https(url)) return remote_attempt_failed(call, method, "hosted A2A relay requires an HTTPS api_url");
  HttpHeaders headers = tessik_headers(token);
  headers["Accept"] = "application/json";
  headers["X-Tessik-Target-Node"] = call.node.node_id;
  const std::string task_endpoint = "a2a-relay:" + call.node.node_id;
  return post_json_rpc(call, method, url, std::move(headers),
                       "relay_url=" + url + " target_node=" + call.node.node_id,
                       external_send_task(call.request), task_endpoint);
}

RemoteAttempt send_legacy_api(const RemoteCall& call) {
  const std::string method(remote_transport_method(RemoteTransport::legacy_api));
  const std::string url = without_trailing_slash(trim(call.node.api_url));
  const std::string& token = call.node.pairing_secret;
  if (url.empty() || token.empty()) {
    return remote_attempt_failed(call, method, "legacy API fallback requires api_url and bearer token");
  }
  if (!is_https(url)) return remote_attempt_failed(call, method, "legacy API fallback requires an HTTPS api_url");
  if (!is_access_token(token)) {
    return remote_attempt_failed(call, method,
                  "legacy API fallback requires an TSKT access token, not an enrollment code");
  }
  const DeliveryRequest& request = call.request;
  const std::string body = legacy_api_body(call.remote_target, request.final_visible_body,
                                           request.sender.sender, request.sender.node_id,
                                           request.strict);
  const HttpResponse response =
      http_post(url + "/v1/messages", body, tessik_headers(token), "application/json", request_options());
  const std::string evidence = "node_id=" + call.node.node_id +
                               " status=" + std::to_string(response.status_code) +
                               " body=" + diagnostic_excerpt(response.body);
  if (!response.error.empty()) return remote_attempt_failed(call, method, "legacy API request failed: " + response.error, evidence);
  std::string state;
  std::string error;
  if (json_nesting_within(response.body)) {
    const nlohmann::json parsed = nlohmann::json::parse(response.body, nullptr, false);
    if (parsed.is_object()) {
      state = parsed.value("state", "");
      error = parsed.value("error", "");
    }
  }
  if (state == "accepted_by_provider" || state == "accepted_by_tessik") {
    return remote_attempt_accepted(call, method, evidence);
  }
  if (error.empty()) error = "legacy API returned HTTP " + std::to_string(response.status_code);
  return remote_attempt_failed(call, method, error, evidence);
}

RemoteAttempt remote_attempt_failed(const RemoteCall& call, std::string_view method,
                                    std::string error, std::string evidence) {
  RemoteAttempt attempt;
  attempt.result.provider = "remote";
  attempt.result.state = "failed";
  attempt.result.method = std::string(method);
  attempt.result.provider_session_id = call.remote_target;
  attempt.result.error = std::move(error);
  attempt.result.evidence = std::move(evidence);
  return attempt;
}

RemoteAttempt remote_attempt_accepted(const RemoteCall& call, std::string_view method,
                                      std::string evidence) {
  RemoteAttempt attempt;
  attempt.result.provider = "remote";
  attempt.result.state = "accepted_by_remote";
  attempt.result.accepted = true;
  attempt.result.method = std::string(method);
  attempt.result.provider_session_id = call.remote_target;
  attempt.result.evidence = std::move(evidence);
  return attempt;
}

RemoteAttempt run_remote_transport(RemoteTransport transport, const RemoteCall& call) {
  switch (transport) {
    case RemoteTransport::a2a_https: return send_a2a_https(call);
    case RemoteTransport::a2a_relay: return send_a2a_relay(call);
    case RemoteTransport::a2a_ssh: return send_a2a_ssh(call);
    case RemoteTransport::legacy_api: return send_legacy_api(call);
    case RemoteTransport::legacy_ssh: return send_legacy_ssh(call);
  }
  return send_a2a_https(call);
}

}  // namespace tessik
