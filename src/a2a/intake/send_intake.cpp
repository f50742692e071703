// SendMessage: from a validated request to a stored task, one decision for both bindings.
#include "a2a/intake/send_intake.h"

#include <filesystem>
#include <stdexcept>

#include "a2a/gateway/error_catalog.h"
#include "a2a/gateway/errors.h"
#include "a2a/gateway/request_gates.h"
#include "a2a/gateway/scopes.h"
#include "a2a/intake/task_continuation.h"
#include "a2a/push/push_config_ops.h"
#include "a2a/tasks/task_json.h"
#include "a2a/tasks/log_scan/task_index.h"
#include "a2a/tasks/task_log.h"
#include "a2a/tasks/task_push_payloads.h"
#include "a2a/tasks/task_replies.h"
#include "a2a/tasks/task_view.h"
#include "base/random.h"
#include "base/text.h"
#include "pipeline/pipeline_context.h"
#include "pipeline/send_pipeline.h"
#include "pipeline/target_resolution.h"
#include "registry/lock_publish.h"
#include "registry/normalization.h"
#include "state/state_dir.h"

namespace tessik {
namespace {

TaskError validation_error(const SendValidationFailure& failure) {
  if (failure.content_type) {
    return {415, kJsonRpcContentTypeNotSupported, std::string(local_code::kContentTypeNotSupported),
            failure.message, failure.message};
  }
  return {400, kJsonRpcInvalidParams, std::string(local_code::kSendInvalid), failure.message,
          failure.message};
}

SendMessageResult failed(TaskError error) {
  SendMessageResult result;
  result.error = std::move(error);
  return result;
}

TaskSendInput task_input(const SendIntake& intake, const std::string& history) {
  TaskSendInput send;
  send.task_id = intake.task_id;
  send.context_id = intake.context_id;
  send.message_id = intake.message_id;
  send.target_id = intake.target_id;
  send.target_agent = intake.target_agent;
  send.requester_client_id = intake.requester_client_id;
  send.requester_agent = intake.requester_agent;
  send.requester_node = intake.requester_node;
  send.text = intake.text;
  send.history = history;
  return send;
}

bool is_sendable(const AgentRecord& agent) {
  return is_agent_a2a_exposed(agent) && is_agent_deliverable(agent);
}

const AgentRecord* find_exposed_by_public_id(const std::vector<AgentRecord>& agents,
                                             std::string_view public_id) {
  const std::string wanted = trim(public_id);
  for (const AgentRecord& agent : agents) {
    if (is_agent_a2a_exposed(agent) && trim(agent.public_agent_id) == wanted) return &agent;
  }
  return nullptr;
}

// The row a named target stands for, kept with the task so that a follow-up finds the same
// agent: the registry's own name first, then every name target resolution accepts (aliases,
// session ids, the mailbox's names). The pipeline still does its own, authoritative resolution.
std::optional<AgentRecord> find_by_name(const std::vector<AgentRecord>& agents,
                                        std::string_view name) {
  const std::string wanted = ascii_lower(trim(name));
  for (const AgentRecord& agent : agents) {
    if (ascii_lower(trim(agent_registry_name(agent))) == wanted ||
        ascii_lower(trim(agent.agent_id)) == wanted)
      return agent;
  }
  return exact_target_lookup(agents, name);
}

TaskSendOutcome task_outcome(const SendOutcome& outcome) {
  return {outcome.message_id,
          outcome.status,
          outcome.provider,
          outcome.detail,
          outcome.error,
          outcome.accepted,
          outcome.accepted_by_provider};
}

// Steps up to the push configuration; fills `history` and `continued` for a follow-up.
std::optional<TaskError> check_before_submit(const GatewayCall& call, SendIntake& intake,
                                             const std::vector<AgentRecord>& agents,
                                             const std::filesystem::path& log, SendBinding binding,
                                             std::string& history,
                                             std::optional<PushConfig>& push_config) {
  if (call.scoped_agent) {
    if (auto message = check_agent_scope_target(intake, *call.scoped_agent))
      return catalogue_task_error(local_code::kScopedTargetMismatch, *message);
  }
  TaskSendInput send = task_input(intake, {});
  const TaskContinuation continuation = check_task_continuation(send, log, call.principal, agents);
  if (continuation.code != TaskContinuationCode::new_task)
    return task_continuation_error(continuation.code);
  if (continuation.continued) {
    intake.context_id = send.context_id;
    intake.target_id = send.target_id;
    intake.target_agent = send.target_agent;
    history = send.history;
  }
  if (call.scoped_agent) aim_at_scoped_agent(intake, *call.scoped_agent);
  if (auto message = choose_implicit_target(intake, agents)) {
    return catalogue_task_error(
        binding == SendBinding::json_rpc ? local_code::kTargetRequired : local_code::kSendInvalid,
        *message, 400);
  }
  if (intake.task_id.empty()) intake.task_id = random_hex_token();
  if (!continuation.continued && find_latest_task_line_indexed(log, intake.task_id)) {
    return catalogue_task_error(local_code::kDuplicateTaskId,
                                "A2A task id already exists and will not be shadowed.");
  }
  SendPushConfigCheck push = check_send_push_config(call.context, call.principal,
                                                    intake.configuration_json, intake.task_id);
  if (push.error) return std::move(push.error);
  push_config = std::move(push.config);
  return std::nullopt;
}

SendMessageResult run_checked(const GatewayCall& call, std::string_view params,
                              SendBinding binding) {
  if (auto failure = validate_send_params(params)) return failed(validation_error(*failure));
  SendIntake intake = extract_send_intake(params);
  const std::vector<AgentRecord> agents = load_registry(call.registry);
  const std::filesystem::path log = task_log_path(call.context);
  std::string history;
  std::optional<PushConfig> push_config;
  if (auto error = check_before_submit(call, intake, agents, log, binding, history, push_config))
    return failed(std::move(*error));
  apply_principal_to_send(intake, call.context, call.principal);

  TaskRecord task;
  try {
    task = submit_a2a_send(intake, history, call, agents, log);
    append_send_outcome_record(log, task);
  } catch (const TaskLogWriteError& error) {
    return failed(task_log_write_error(error.what()));
  } catch (const std::filesystem::filesystem_error& error) {
    return failed(task_log_write_error(error.what()));
  }
  if (push_config) {
    if (auto error = store_send_push_config(call.context, *push_config))
      return failed(std::move(*error));
  }
  trigger_task_push_delivery(call.context, task);
  SendMessageResult result;
  result.task_view = build_task_view(task_to_json_v1(task), intake.history_length, true,
                                     requested_a2a_version(call.request));
  result.task = std::move(task);
  return result;
}

}  // namespace

SendMessageResult run_send_message(const GatewayCall& call, std::string_view params,
                                   SendBinding binding) {
  try {
    return run_checked(call, params, binding);
  } catch (const std::exception& error) {
    // A registry or pipeline failure: the request is answered, the broker goes on.
    return failed({500, kJsonRpcInternalError, "TESSIK_A2A_SEND_FAILED",
                   std::string("A2A send failed: ") + error.what(), "Internal error"});
  }
}

std::string send_result_task_document(const SendMessageResult& result) {
  return "{\"task\":" + result.task_view + "}";
}

std::optional<std::string> check_agent_scope_target(const SendIntake& intake,
                                                    const AgentRecord& scoped_agent) {
  const std::string target_id = trim(intake.target_id);
  if (!target_id.empty() && target_id != trim(scoped_agent.public_agent_id))
    return "Agent-scoped endpoint targetId does not match the endpoint agent.";
  const std::string target_agent = ascii_lower(trim(intake.target_agent));
  if (!target_agent.empty() && target_agent != ascii_lower(trim(agent_registry_name(scoped_agent))))
    return "Agent-scoped endpoint targetAgent does not match the endpoint agent.";
  return std::nullopt;
}

void aim_at_scoped_agent(SendIntake& intake, const AgentRecord& scoped_agent) {
  if (!trim(intake.target_id).empty() || !trim(intake.target_agent).empty()) return;
  intake.target_id = trim(scoped_agent.public_agent_id);
}

std::optional<std::string> choose_implicit_target(SendIntake& intake,
                                                  const std::vector<AgentRecord>& agents) {
  if (!trim(intake.target_id).empty() || !trim(intake.target_agent).empty()) return std::nullopt;
  const AgentRecord* only = nullptr;
  for (const AgentRecord& agent : agents) {
    if (!is_sendable(agent)) continue;
    if (only != nullptr)
      return "A2A send requires a target agent because multiple sendable A2A agents are "
             "registered.";
    only = &agent;
  }
  if (only == nullptr)
    return "A2A send requires a target agent because no sendable A2A agents are registered.";
  intake.target_agent = agent_registry_name(*only);
  return std::nullopt;
}

TaskRecord submit_a2a_send(const SendIntake& intake, const std::string& history,
                           const GatewayCall& call, const std::vector<AgentRecord>& agents,
                           const std::filesystem::path& log) {
  const TaskSendInput send = task_input(intake, history);
  if (trim(intake.requester_agent).empty())
    return create_rejected_task(send, local_code::kSenderRequired,
                                "A2A gateway requires an authenticated or explicit sender "
                                "identity.");
  if (trim(intake.target_id).empty() && trim(intake.target_agent).empty())
    return create_rejected_task(send, local_code::kTargetRequired,
                                "A2A send requires a target agent.");
  if (trim(intake.text).empty())
    return create_rejected_task(send, local_code::kTextRequired,
                                "A2A send requires a text message.");

  std::optional<AgentRecord> target;
  if (!trim(intake.target_id).empty()) {
    const AgentRecord* exposed = find_exposed_by_public_id(agents, intake.target_id);
    if (exposed == nullptr)
      return create_rejected_task(send, local_code::kTargetNotFound,
                                  "A2A target id is not exposed by this Tessik Agent Card.");
    target = *exposed;
  } else {
    target = find_by_name(agents, intake.target_agent);
  }

  SendRequest request;
  request.target = target ? agent_registry_name(*target) : trim(intake.target_agent);
  request.body = intake.text;
  request.source_context = "a2a_gateway";
  request.from = trim(intake.requester_agent);
  request.from_node = trim(intake.requester_node);
  if (request.from_node.empty()) request.from_node = "local";
  TaskSendInput stored = send;
  if (target) {
    stored.target_id = target->public_agent_id;
    stored.target_agent = agent_registry_name(*target);
  }
  // Stored before anything is delivered, so that a broker killed mid-send leaves a task for
  // every message a worker may deliver; the record made from the outcome replaces it.
  request.message_id = random_hex_token();
  const TaskRecord submitted = create_submitted_task(stored, request.message_id, target);
  append_task_record(log, submitted);

  const PipelineContext context{call.registry, call.evidence, nodes_registry_path()};
  SendOutcome outcome;
  try {
    outcome = send_message(context, request);
  } catch (const std::exception& error) {
    append_task_record(
        log, fail_submitted_task(submitted, std::string("A2A send failed: ") + error.what()));
    throw;
  }
  return create_task_from_send(stored, task_outcome(outcome), target);
}

}  // namespace tessik
