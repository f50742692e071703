// The remote edges: target and node checks, the transport plan and the fallback rule that
// never lets one message reach a remote agent twice; the rename run over SSH.
#include "providers/remote/remote_delivery.h"

#include <optional>

#include "base/text.h"
#include "providers/remote/remote_messages.h"
#include "providers/remote/remote_transports.h"
#include "registry/nodes.h"
#include "state/state_dir.h"

namespace tessik {
namespace {

DeliveryResult refusal(const DeliveryRequest& request, std::string error, std::string evidence) {
  DeliveryResult result;
  result.provider = "remote";
  result.state = "failed";
  result.method = "remote_transport_plan";
  result.provider_session_id = trim(request.target.provider_session_id);
  result.error = std::move(error);
  result.evidence = std::move(evidence);
  return result;
}

RenameResult rename_failure(const RenameRequest& request, std::string error,
                            std::string evidence) {
  RenameResult result;
  result.provider = "remote";
  result.state = "failed";
  result.method = "ssh_remote_cli_rename";
  result.requested_name = trim(request.requested_name);
  result.error = std::move(error);
  result.evidence = std::move(evidence);
  return result;
}

std::string bool_word(bool value) { return value ? "true" : "false"; }

// Publishes the plan's A2A task. A legacy transport that succeeded after an A2A attempt
// failed safely leaves that task telling so, with the message accepted after all.
void publish_plan_task(std::optional<ExternalSendTask> task, const DeliveryResult& last,
                       bool last_kept_task) {
  if (!task) return;
  if (last.accepted && !last_kept_task) {
    task->events.push_back({"TASK_STATE_WORKING", "superseded_by_legacy_success",
                            "Delivered over " + last.method + " after the A2A attempt failed;" +
                                " task_state=superseded_by_legacy_success"});
    task->state = "TASK_STATE_WORKING";
    task->error_code.clear();
    task->error_message.clear();
  }
  publish_external_send_task(*task);
}

std::string attempt_summary(RemoteTransport transport, const RemoteAttempt& attempt,
                            bool unavailable) {
  return std::string(remote_transport_name(transport)) +
         ":accepted=" + bool_word(attempt.result.accepted) +
         ":unavailable=" + bool_word(unavailable) + ":error=" + attempt.result.error;
}

}  // namespace

std::optional<NodeRecord> find_remote_node(std::string_view node_id) {
  for (NodeRecord& node : read_node_registry(nodes_registry_path())) {
    if (trim(node.node_id) == node_id) return std::move(node);
  }
  return std::nullopt;
}

std::string remote_upstream_source_context(std::string_view node_id) {
  return "remote_upstream:" + std::string(node_id);
}

DeliveryResult deliver_over_plan(const RemoteCall& call, const RemoteTransportPlan& plan,
                                 const RemoteTransportRunner& run, const EvidenceLog& events) {
  const std::string head = "node_id=" + call.node.node_id +
                           " configured_transport=" + plan.configured +
                           " transport_plan=" + plan.text();
  std::vector<std::string> summaries;
  DeliveryResult result;
  std::optional<ExternalSendTask> task;
  for (std::size_t index = 0; index < plan.transports.size(); ++index) {
    const RemoteTransport transport = plan.transports[index];
    RemoteAttempt attempt = run(transport, call);
    const bool kept_task = attempt.task.has_value();
    if (kept_task) {
      publish_plan_task(std::move(task), {}, true);  // an earlier one, should a plan hold two
      task = std::move(attempt.task);
    }
    const bool more = index + 1 < plan.transports.size();
    const bool fall_back = !attempt.result.accepted && attempt.fallback_safe &&
                           remote_fallback_allowed(plan.configured) && more;
    events.append("remote_transport_attempt",
                  {{"node_id", call.node.node_id},
                   {"configured_transport", plan.configured},
                   {"attempt", std::string(remote_transport_name(transport))},
                   {"attempt_index", std::to_string(index + 1)},
                   {"accepted", bool_word(attempt.result.accepted)},
                   {"transport_unavailable", bool_word(fall_back)},
                   {"migration_fallback_safe", bool_word(attempt.fallback_safe)},
                   {"state", attempt.result.state},
                   {"error", attempt.result.error}});
    summaries.push_back(attempt_summary(transport, attempt, fall_back));
    result = attempt.result;
    if (fall_back) continue;
    std::string evidence = head + (result.evidence.empty() ? "" : " " + result.evidence);
    if (!result.accepted && more) {
      evidence += " fallback=blocked_to_prevent_duplicate_delivery attempts=[";
      for (std::size_t i = 0; i < summaries.size(); ++i) {
        evidence += (i == 0 ? "" : ",") + summaries[i];
      }
      evidence += "]";
    }
    result.evidence = std::move(evidence);
    publish_plan_task(std::move(task), result, kept_task);
    return result;
  }
  result.evidence = head + (result.evidence.empty() ? "" : " " + result.evidence);
  publish_plan_task(std::move(task), result, false);
  return result;
}

DeliveryResult deliver_to_remote_node(const DeliveryRequest& request) {
  const std::string remote_target = trim(request.target.provider_session_id);
  if (remote_target.empty()) {
    return refusal(request, "remote target is missing provider_session_id",
                   "remote target row must store the remote target agent name in "
                   "provider_session_id");
  }
  const std::string node_id = trim(request.target.node_id);
  const std::optional<NodeRecord> node = find_remote_node(node_id);
  if (!node) {
    return refusal(request, "remote node is not in node registry: " + node_id,
                   "provider=remote requires target node_id to match nodes.tsv");
  }
  if (!node->enabled) {
    return refusal(request, "remote node is disabled: " + node_id,
                   "disabled nodes are never contacted");
  }
  if (request.source_context == remote_upstream_source_context(node_id)) {
    return refusal(request, "message came upstream from remote node " + node_id +
                                " and is not sent back to it",
                   "upstream messages never bounce to their own node");
  }
  const RemoteTransportPlan plan = plan_remote_transports(*node);
  if (!plan.error.empty()) {
    return refusal(request, plan.error,
                   "node_id=" + node_id + " configured_transport=" + plan.configured);
  }
  const RemoteCall call{request, *node, remote_target};
  return deliver_over_plan(call, plan, run_remote_transport, EvidenceLog(delivery_log_path()));
}

RenameResult rename_remote_agent(const RenameRequest& request) {
  const std::string remote_target = trim(request.target.provider_session_id);
  const std::string new_name = trim(request.requested_name);
  const std::string node_id = trim(request.target.node_id);
  if (remote_target.empty()) {
    return rename_failure(request,
                          "remote rename requires provider_session_id to hold the remote "
                          "target name",
                          "node_id=" + node_id);
  }
  if (new_name.empty()) {
    return rename_failure(request, "new remote agent name was empty",
                          "rename requires a non-empty --name value");
  }
  const std::optional<NodeRecord> node = find_remote_node(node_id);
  if (!node) {
    return rename_failure(request, "remote node is not in node registry: " + node_id,
                          "provider=remote requires target node_id to match nodes.tsv");
  }
  if (!node->enabled) {
    return rename_failure(request, "remote node is disabled: " + node_id,
                          "disabled nodes are never contacted");
  }
  if (trim(node->ssh_host).empty() || trim(node->ssh_user).empty()) {
    return rename_failure(request, "remote node is missing host or ssh_user: " + node_id,
                          "node registry row is incomplete");
  }
  const std::string command = ssh_command_prefix(*node, 100) + "tessik rename --agent " +
                              shell_quote(shell_quote(remote_target)) + " --name " +
                              shell_quote(shell_quote(new_name)) + " 2>&1";
  const platform::BoundedProcessResult run = run_ssh_command(command, ssh_timeouts().rename_ms);
  const std::string evidence = "node_id=" + node_id + " host=" + trim(node->ssh_host) +
                               " remote_target=" + remote_target +
                               " output=" + diagnostic_excerpt(run.output);
  if (run.exit_code != 0) {
    return rename_failure(
        request, "remote rename command failed with exit code " + std::to_string(run.exit_code),
        evidence);
  }
  RenameResult result;
  result.provider = "remote";
  result.state = "renamed_session";
  result.accepted = true;
  result.method = "renamed_remote_cli_delegate";
  result.verification_state = "verified";
  result.provider_title = new_name;
  result.requested_name = new_name;
  result.evidence = evidence;
  return result;
}


}  // namespace tessik
