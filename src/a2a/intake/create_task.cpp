// Create tasks: the message to a factory becomes a create request, the create workflow runs
// within the request, and its outcome becomes the task's state and reply.
#include "a2a/intake/create_task.h"

#include <initializer_list>
#include <nlohmann/json.hpp>

#include "a2a/cards/cards.h"
#include "a2a/gateway/error_catalog.h"
#include "a2a/gateway/errors.h"
#include "a2a/gateway/request_gates.h"
#include "a2a/intake/send_validation.h"
#include "a2a/tasks/task_json.h"
#include "a2a/tasks/log_scan/task_index.h"
#include "a2a/tasks/task_log.h"
#include "a2a/tasks/task_view.h"
#include "base/random.h"
#include "base/text.h"
#include "pipeline/create_support.h"
#include "registry/sender_resolution.h"

namespace tessik {
namespace {

using nlohmann::json;

constexpr char kCreateFailedCode[] = "TESSIK_PROVIDER_CREATE_FAILED";
constexpr char kNoEnrolledSession[] = "Provider creation did not return an enrolled stable session.";

// The first non-blank string among `keys` of the params metadata, then of the message metadata.
std::string metadata_value(const json& params, std::initializer_list<const char*> keys) {
  const json empty = json::object();
  const auto object_at = [&](const json& parent, const char* key) -> const json& {
    const auto found = parent.is_object() ? parent.find(key) : parent.end();
    return found != parent.end() && found->is_object() ? *found : empty;
  };
  const json& message = object_at(params, "message");
  for (const json* metadata : {&object_at(params, "metadata"), &object_at(message, "metadata")}) {
    for (const char* key : keys) {
      const auto found = metadata->find(key);
      if (found != metadata->end() && found->is_string() && !trim(found->get<std::string>()).empty())
        return trim(found->get<std::string>());
    }
  }
  return {};
}

TaskError create_error(int http_status, std::string_view code, std::string_view message) {
  const LocalCodeInfo* info = find_local_code(code);
  const int rpc = info && info->json_rpc_code != 0 ? info->json_rpc_code : kJsonRpcInvalidParams;
  return {http_status, rpc, std::string(code), std::string(message), std::string(message)};
}

// The sender the new session answers: the requester when it is a registered agent, else the
// built-in mailbox, where the user reads what nobody else can receive.
void choose_sender(CreateRequest& request, const SendSenderIdentity& identity,
                   const Registry& registry) {
  std::string node = trim(identity.requester_node);
  if (node.empty()) node = "local";
  const std::string agent = trim(identity.requester_agent);
  if (!agent.empty() && find_sender_record(registry, node, agent)) {
    request.from = agent;
    request.from_node = node;
    return;
  }
  request.from = kMailboxAgentId;
  request.from_node = "local";
}

std::string created_reply(const AgentRecord& agent, const std::string& endpoint) {
  nlohmann::ordered_json reply;
  reply["agentId"] = agent.public_agent_id;
  reply["name"] = agent_registry_name(agent);
  reply["provider"] = agent.provider;
  reply["agentCardUrl"] = agent_card_url(endpoint, agent.public_agent_id);
  reply["endpointUrl"] = agent_endpoint_url(endpoint, agent.public_agent_id);
  return reply.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string pending_reply(const CreateResult& result) {
  nlohmann::ordered_json reply;
  reply["operationId"] = result.operation_id;
  reply["provider"] = result.provider;
  reply["state"] = result.state;
  reply["correlation"] = result.correlation_state;
  return reply.dump(-1, ' ', false, json::error_handler_t::replace);
}

void settle(TaskRecord& task, const CreateWorkflowResult& outcome, const std::string& endpoint) {
  if (outcome.enrolled && !outcome.stopped()) {
    const AgentRecord& agent = *outcome.enrolled;
    task.state = kTaskStateCompleted;
    task.reply_body = created_reply(agent, endpoint);
    task.created_agent_id = agent.public_agent_id;
    task.created_agent_card_url = agent_card_url(endpoint, agent.public_agent_id);
    task.created_agent_endpoint_url = agent_endpoint_url(endpoint, agent.public_agent_id);
    add_task_event(task, task.state, "provider_create_completed",
                   "Provider session was created, enrolled, and assigned a scoped Agent Card.");
    return;
  }
  if (outcome.stage == create_stage::kPendingOperation) {
    task.state = kTaskStateWorking;
    task.reply_body = pending_reply(outcome.result);
    add_task_event(task, task.state, "provider_create_accepted_pending",
                   "Provider creation was accepted; event-driven correlation and enrollment are "
                   "still in progress.");
    return;
  }
  task.state = kTaskStateFailed;
  task.error_code = kCreateFailedCode;
  task.error_message = trim(outcome.message);
  if (task.error_message.empty()) task.error_message = trim(outcome.result.error);
  if (task.error_message.empty()) task.error_message = kNoEnrolledSession;
  add_task_event(task, task.state, "provider_create_failed", task.error_message);
}

TaskRecord start_task(const CreateTaskIntake& intake, const SendSenderIdentity& identity,
                      const ProviderFactory& factory) {
  TaskRecord task;
  task.id = intake.task_id;
  task.context_id = trim(intake.context_id).empty() ? task.id : trim(intake.context_id);
  task.target_agent = factory.name;
  task.target_provider = factory.provider;
  task.requester_client_id = identity.requester_client_id;
  task.requester_agent = identity.requester_agent;
  task.requester_node = trim(identity.requester_node).empty() ? "local" : identity.requester_node;
  task.message_id = intake.message_id;
  task.operation = "create-agent";
  task.history = "[" +
                 build_message_json(intake.message_id, task.context_id, task.id, "ROLE_USER",
                                    intake.text, false) +
                 "]";
  add_task_event(task, kTaskStateSubmitted, "create_submitted",
                 "A2A create request entered the provider factory.");
  add_task_event(task, kTaskStateWorking, "provider_create_started",
                 "Tessik started its provider-native create workflow.");
  task.state = kTaskStateWorking;
  return task;
}

CreateWorkflowResult run_workflow(const GatewayCall& call, const CreateRunner& runner,
                                  const CreateRequest& request) {
  if (runner) return runner(request);
  return create_agent_workflow(request, call.registry, default_lifecycle_logs(),
                               pipeline_lifecycle_edges(call.registry));
}

}  // namespace

CreateTaskIntake extract_create_request(std::string_view params, const ProviderFactory& factory) {
  const SendIntake send = extract_send_intake(params);
  const json parsed = json::parse(params, nullptr, false);
  CreateTaskIntake intake;
  intake.task_id = trim(send.task_id);
  if (intake.task_id.empty()) intake.task_id = random_hex_token();
  intake.context_id = send.context_id;
  intake.message_id = send.message_id;
  intake.text = send.text;
  CreateRequest& request = intake.request;
  request.request_id = intake.task_id;
  request.provider = factory.provider;
  request.requested_name = metadata_value(parsed, {"tessikCreateName", "displayName"});
  if (request.requested_name.empty()) request.requested_name = "A2A " + factory.name;
  request.model = metadata_value(parsed, {"tessikModel", "model"});
  request.cwd = metadata_value(parsed, {"tessikCwd", "cwd"});
  request.initial_message = send.text;
  return intake;
}

CreateTaskResult run_create_task(const GatewayCall& call, std::string_view params,
                                 const ProviderFactory& factory, std::string_view invalid_code,
                                 const CreateRunner& runner) {
  CreateTaskResult answer;
  if (auto failure = validate_send_params(params)) {
    answer.error = failure->content_type
                       ? create_error(415, local_code::kContentTypeNotSupported, failure->message)
                       : create_error(400, invalid_code, failure->message);
    return answer;
  }
  if (!factory.create_supported) {
    answer.error = create_error(400, invalid_code, "provider factory does not support creation");
    return answer;
  }
  CreateTaskIntake intake = extract_create_request(params, factory);
  const std::filesystem::path log = task_log_path(call.context);
  if (find_latest_task_line_indexed(log, intake.task_id)) {
    answer.error = create_error(400, local_code::kDuplicateTaskId,
                                "A2A task id already exists and will not be shadowed.");
    return answer;
  }
  SendSenderIdentity identity;
  apply_principal_to_send(identity, call.context, call.principal);
  TaskRecord task = start_task(intake, identity, factory);
  CreateWorkflowResult outcome;
  try {
    choose_sender(intake.request, identity, call.registry);
    outcome = run_workflow(call, runner, intake.request);
  } catch (const std::exception& failure) {
    outcome = CreateWorkflowResult{};
    outcome.stage = create_stage::kProviderRefused;
    outcome.message = std::string("A2A create failed: ") + failure.what();
  }
  settle(task, outcome, call.context.endpoint_url);
  try {
    append_task_record(log, task);
  } catch (const std::exception& failure) {
    answer.error = task_log_write_error(failure.what());
    return answer;
  }
  answer.task_view = build_task_view(task_to_json_v1(task), extract_send_intake(params).history_length,
                                     true, requested_a2a_version(call.request));
  answer.task = std::move(task);
  return answer;
}

std::string create_result_task_document(const CreateTaskResult& result) {
  return "{\"task\":" + result.task_view + "}";
}

}  // namespace tessik
