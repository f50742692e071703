// The outbound A2A send. The request body is written as text so that field order and escaping
// are the same as every other document this system writes.
#include "providers/external_a2a/external_send.h"

#include <mutex>
#include <nlohmann/json.hpp>

#include "base/json_depth.h"
#include "base/random.h"
#include "base/text.h"
#include "providers/external_a2a/outbound_auth.h"
#include "state/state_dir.h"

namespace tessik {
namespace {

using Json = nlohmann::json;

// Response bodies go into evidence and task events; a peer may answer megabytes.
constexpr std::size_t kMaxRecordedBodyBytes = 4096;

std::mutex g_sink_mutex;
ExternalSendTaskSink g_sink;

struct SendPlan {
  bool json_rpc = false;
  bool v03 = false;
  std::string url;
  std::string body;
  HttpHeaders headers;
  std::string content_type;
};

std::string metadata_json(const DeliveryRequest& request) {
  const SenderResolution& sender = request.sender;
  const AgentRecord& target = request.target;
  const std::string requester_node = sender.node_id.empty() ? "local" : sender.node_id;
  std::string out = "{";
  const auto add = [&](const char* key, const std::string& value) {
    if (out.size() > 1) out += ",";
    append_json_string_member(out, key, value);
  };
  add("tessikSenderId", sender.sender);
  add("tessikSenderNode", requester_node);
  add("tessikSenderSource", sender.source);
  add("tessikRequesterAgent", sender.sender);
  add("tessikRequesterNode", requester_node);
  add("tessikRequesterSource", request.source_context);
  add("tessikMessageId", request.message_id);
  add("tessikRegistryAgentId", target.agent_id);
  add("tessikTargetAgent", target.display_name);
  add("tessikTargetProviderSessionId", target.provider_session_id);
  add("tessikTargetNode", target.node_id.empty() ? "local" : target.node_id);
  return out + "}";
}

std::string params_json(const DeliveryRequest& request, const std::string& tenant, bool v03) {
  std::string out = "{";
  if (!tenant.empty()) {
    append_json_string_member(out, "tenant", tenant);
    out += ",";
  }
  out += "\"message\":{";
  append_json_string_member(out, "messageId", request.message_id);
  out += ",";
  append_json_string_member(out, "role", v03 ? "user" : "ROLE_USER");
  out += ",\"parts\":[{";
  if (v03) out += "\"kind\":\"text\",";
  append_json_string_member(out, "text", request.final_visible_body);
  out += "}]";
  if (v03) out += ",\"kind\":\"message\"";
  out += "},\"metadata\":" + metadata_json(request) + "}";
  return out;
}

SendPlan plan_send(const DeliveryRequest& request) {
  const AgentRecord& target = request.target;
  SendPlan plan;
  plan.json_rpc = ascii_lower(target_option(target, "protocol-binding")) == "jsonrpc";
  std::string version = target_option(target, "protocol-version");
  if (version.empty()) version = plan.json_rpc ? "0.3" : "1.0";
  plan.v03 = version.rfind("0.3", 0) == 0;
  const std::string params = params_json(request, target_option(target, "tenant"), plan.v03);
  const std::string service = trim(target.provider_session_id);
  if (plan.json_rpc) {
    plan.url = service;
    plan.body = "{\"jsonrpc\":\"2.0\",";
    append_json_string_member(plan.body, "id", "tessik-" + random_uuid());
    plan.body += ",";
    append_json_string_member(plan.body, "method", plan.v03 ? "message/send" : "SendMessage");
    plan.body += ",\"params\":" + params + "}";
    plan.content_type = "application/json";
  } else {
    const std::string suffix = "/message:send";
    std::string base = service;
    const bool has_suffix = base.size() >= suffix.size() &&
                            base.compare(base.size() - suffix.size(), suffix.size(), suffix) == 0;
    if (!has_suffix) {
      while (!base.empty() && base.back() == '/')
        base.pop_back();
      base += suffix;
    }
    plan.url = base;
    plan.body = params;
    plan.content_type = "application/a2a+json";
  }
  plan.headers["A2A-Version"] = version;
  plan.headers["Accept"] = plan.content_type;
  return plan;
}

// The remote task's state, looked for where the bindings put it.
std::string remote_task_state(const Json& answer) {
  const Json* task = &answer;
  if (answer.contains("result") && answer["result"].is_object()) task = &answer["result"];
  if (task->contains("task") && (*task)["task"].is_object()) task = &(*task)["task"];
  if (!task->contains("status") || !(*task)["status"].is_object()) return {};
  const Json& state = (*task)["status"]["state"];
  return state.is_string() ? ascii_lower(trim(state.get<std::string>())) : std::string();
}

DeliveryResult failed(const DeliveryRequest& request, std::string method, std::string error,
                      std::string evidence) {
  DeliveryResult result;
  result.provider = request.target.provider;
  result.state = "failed";
  result.method = std::move(method);
  result.provider_session_id = request.target.provider_session_id;
  result.display_name = request.target.display_name;
  result.error = std::move(error);
  result.evidence = std::move(evidence);
  return result;
}

}  // namespace

void set_external_send_task_sink(ExternalSendTaskSink sink) {
  std::lock_guard<std::mutex> lock(g_sink_mutex);
  g_sink = std::move(sink);
}

void publish_external_send_task(const ExternalSendTask& task) {
  ExternalSendTaskSink sink;
  {
    std::lock_guard<std::mutex> lock(g_sink_mutex);
    sink = g_sink;
  }
  if (sink) sink(task);
}

std::string recorded_response_body(const std::string& body) {
  if (body.size() <= kMaxRecordedBodyBytes) return repair_utf8(body);
  return repair_utf8(std::string_view(body).substr(0, kMaxRecordedBodyBytes)) + "...(truncated)";
}

ExternalSendTask external_send_task(const DeliveryRequest& request) {
  ExternalSendTask task;
  task.message_id = request.message_id;
  task.target_agent = request.target.display_name;
  task.target_provider = request.target.provider;
  task.target_provider_session_id = request.target.provider_session_id;
  task.requester_agent = request.sender.sender;
  task.requester_node = request.sender.node_id.empty() ? "local" : request.sender.node_id;
  task.body = request.final_visible_body;
  task.state = "TASK_STATE_SUBMITTED";
  return task;
}

void record_external_send_started(ExternalSendTask& task, std::string_view endpoint) {
  task.events.push_back({"TASK_STATE_SUBMITTED", "external_a2a_http_send_started",
                         "Tessik sent an outbound A2A message to " + std::string(endpoint)});
}

void record_external_send_answer(ExternalSendTask& task, const ExternalSendEvent& outcome,
                                 std::string detail) {
  // A remote task that failed is still an answer the exchange delivered.
  const bool exchanged =
      outcome.code.empty() || outcome.code == "TESSIK_EXTERNAL_A2A_TASK_FAILED";
  task.events.push_back(
      {outcome.state,
       exchanged ? "external_a2a_http_response_accepted" : "external_a2a_http_response_failed",
       std::move(detail)});
  task.state = outcome.state;
  task.error_code = outcome.code;
  task.error_message = outcome.message;
}

ExternalSendEvent external_task_outcome(const HttpResponse& response, bool json_rpc) {
  if (!response.error.empty()) {
    return {"TASK_STATE_FAILED", "TESSIK_EXTERNAL_A2A_HTTP_ERROR", response.error};
  }
  if (response.status_code < 200 || response.status_code >= 300) {
    return {"TASK_STATE_FAILED", "TESSIK_EXTERNAL_A2A_HTTP_STATUS",
            "External A2A endpoint returned HTTP status " + std::to_string(response.status_code)};
  }
  const Json answer =
      json_nesting_within(response.body) ? Json::parse(response.body, nullptr, false) : Json();
  if (json_rpc && answer.is_object() && answer.contains("error")) {
    return {"TASK_STATE_FAILED", "TESSIK_EXTERNAL_A2A_JSONRPC_ERROR",
            "External A2A JSON-RPC endpoint returned an error."};
  }
  const std::string state = answer.is_object() ? remote_task_state(answer) : std::string();
  if (state == "completed" || state == "task_state_completed") {
    return {"TASK_STATE_COMPLETED", "", ""};
  }
  if (state == "failed" || state == "task_state_failed" || state == "rejected" ||
      state == "task_state_rejected") {
    return {"TASK_STATE_FAILED", "TESSIK_EXTERNAL_A2A_TASK_FAILED",
            "External A2A endpoint returned failed task state."};
  }
  return {"TASK_STATE_WORKING", "", ""};
}

DeliveryResult send_external_message(const DeliveryRequest& request,
                                     const ExternalSendOptions& options) {
  if (trim(request.target.provider_session_id).empty()) {
    return failed(request, "a2a_send_missing_service_url",
                  "A2A provider registry row is missing service URL in provider_session_id.", "");
  }
  SendPlan plan = plan_send(request);
  const std::string method =
      plan.json_rpc ? "a2a_jsonrpc_send_message" : "a2a_http_json_message_send";
  HttpRequestOptions http = options.http;
  http.no_proxy = true;
  http.disable_redirects = true;
  if (http.current_user_certificate_root.empty()) {
    http.current_user_certificate_root = user_certificates_directory();
  }
  std::string auth_note;
  if (options.node_bearer_token) {
    if (trim(*options.node_bearer_token).empty()) {
      return failed(request, method, "A2A node transport requires a durable bearer token.", "");
    }
    plan.headers["Authorization"] = "Bearer " + trim(*options.node_bearer_token);
    auth_note = "auth=explicit_node_bearer";
  } else {
    const OutboundAuth auth = resolve_outbound_auth(request.target, http);
    if (!auth.error.empty()) return failed(request, method, auth.error, "url=" + plan.url);
    if (!auth.authorization.empty()) plan.headers["Authorization"] = auth.authorization;
    auth_note = auth.note;
  }
  ExternalSendTask task = external_send_task(request);
  record_external_send_started(task, plan.url);
  const HttpResponse response =
      http_post(plan.url, plan.body, plan.headers, plan.content_type, http);
  const ExternalSendEvent outcome = external_task_outcome(response, plan.json_rpc);
  const std::string status = std::to_string(response.status_code);
  const std::string body = recorded_response_body(response.body);
  record_external_send_answer(task, outcome, "External A2A HTTP status " + status + " body=" + body);
  publish_external_send_task(task);
  const std::string evidence = "url=" + plan.url + " status=" + status + " body=" + body + " " +
                               auth_note;
  if (!response.error.empty()) return failed(request, method, response.error, evidence);
  if (outcome.code == "TESSIK_EXTERNAL_A2A_JSONRPC_ERROR") {
    return failed(request, method, "A2A JSON-RPC endpoint returned an error.", evidence);
  }
  if (outcome.code == "TESSIK_EXTERNAL_A2A_HTTP_STATUS") {
    return failed(request, method, "A2A endpoint returned HTTP status " + status, evidence);
  }
  DeliveryResult result;
  result.provider = request.target.provider;
  result.state = "accepted_by_provider";
  result.accepted = true;
  result.method = method;
  result.provider_session_id = request.target.provider_session_id;
  result.display_name = request.target.display_name;
  result.evidence = evidence;
  return result;
}

}  // namespace tessik
