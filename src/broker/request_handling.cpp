// The broker's answer to one request. The refusal bodies are fixed texts that clients match,
// so they are spelled out rather than built by a JSON library.
#include "broker/request_handling.h"

#include <cstdio>
#include <exception>
#include <string>

#include "a2a/gateway/errors.h"
#include "a2a/gateway/gateway.h"
#include "base/text.h"
#include "registry/registry.h"
#include "state/evidence_log.h"
#include "state/state_dir.h"

namespace tessik {
namespace {

GatewayResponse json_error(int status, std::string body) {
  GatewayResponse response;
  response.status = status;
  response.content_type = "application/json";
  response.body = std::move(body);
  return response;
}

GatewayResponse dispatch_to_gateway(const UserBrokerEnvelope& envelope, std::stop_token stop) {
  const GatewayContext context = make_gateway_context(envelope);
  Registry registry(agents_registry_path());
  const EvidenceLog evidence(events_log_path());
  return handle_a2a_request(envelope.request, envelope.principal, context, registry, evidence,
                            stop);
}

}  // namespace

GatewayResponse frame_invalid_response() {
  return json_error(400, R"({"error":{"code":"TESSIK_USER_BROKER_FRAME_INVALID",)"
                         R"("message":"Invalid broker request frame."}})");
}

GatewayResponse caller_rejected_response() {
  return json_error(
      403, R"({"error":{"code":"TESSIK_USER_BROKER_CALLER_REJECTED",)"
           R"("message":"Only the LocalSystem Tessik API service may call the user broker."}})");
}

GatewayResponse request_invalid_response(std::string_view message) {
  std::string body = R"({"error":{"code":"TESSIK_USER_BROKER_REQUEST_INVALID","message":")";
  append_json_escaped(body, message);
  body += "\"}}";
  return json_error(400, std::move(body));
}

GatewayResponse internal_error_response(std::string_view detail) {
  return make_http_error(500, "TESSIK_A2A_INTERNAL_ERROR",
                         "The broker could not handle the request: " + std::string(detail));
}

GatewayContext make_gateway_context(const UserBrokerEnvelope& envelope) {
  GatewayContext context;
  context.endpoint_url = envelope.request.endpoint_url;
  context.require_auth = true;
  context.trust_broker_principal = true;
  context.principal = envelope.principal;
  const std::filesystem::path a2a = a2a_directory();
  context.tasks_path = a2a / "tasks.jsonl";
  context.push_configs_path = a2a / "pushNotificationConfigs.jsonl";
  context.push_pending_path = a2a / "push-pending.jsonl";
  context.push_delivery_path = a2a / "push-delivery.jsonl";
  context.push_dead_letter_path = a2a / "push-dead-letter.jsonl";
  return context;
}

GatewayResponse answer_request(bool frame_read, bool caller_accepted, std::string_view payload,
                               std::stop_token stop) {
  if (!frame_read) return frame_invalid_response();
  if (!caller_accepted) return caller_rejected_response();
  const UserBrokerEnvelope envelope = parse_user_broker_envelope(payload);
  if (!envelope.valid) return request_invalid_response(envelope.error);
  std::string detail;
  try {
    return dispatch_to_gateway(envelope, stop);
  } catch (const std::exception& error) {
    detail = error.what();
  } catch (...) {
    detail = "unknown exception";
  }
  std::fprintf(stderr, "tessik broker: request %s %s failed: %s\n",
               json_escape(envelope.request.method).c_str(),
               json_escape(envelope.request.target).c_str(), detail.c_str());
  return internal_error_response(detail);
}

}  // namespace tessik
