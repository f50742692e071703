// a2a/intake/: SendMessage from the request to the pipeline and the stored task, continuation
// of an earlier task, and the HTTP+JSON send route.
// SendMessage as both bindings run it: one decision (validation, agent scope, continuation,
// implicit target, duplicate ids, sender identity, the pipeline, the stored task) and a
// result record each binding renders in its own shape.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "a2a/gateway/gateway_call.h"
#include "a2a/intake/send_validation.h"
#include "a2a/tasks/task_record.h"
#include "a2a/tasks/task_result.h"
#include "registry/agent_record.h"
#include "wire/envelope.h"

namespace tessik {

// The binding a send arrived on. It only changes which local code a missing implicit target
// carries ("TESSIK_A2A_SEND_INVALID" over HTTP+JSON, "TESSIK_A2A_TARGET_REQUIRED" on JSON-RPC).
enum class SendBinding { http_json, json_rpc };

// The answer of a send. On success `task` is the stored task (accepted, failed or rejected —
// a rejection is not an error) and `task_view` its view for the request's protocol version
// honouring the request's historyLength. On failure `error` carries the HTTP status, the
// JSON-RPC code, the local code and both wordings; no task was stored.
struct SendMessageResult {
  std::optional<TaskRecord> task;
  std::string task_view;
  std::optional<TaskError> error;

  bool ok() const { return !error.has_value(); }
};

// Runs a SendMessage whose request object is `params` (the HTTP body, or the JSON-RPC
// "params" text). The caller has authenticated the principal and checked "agent.send"; an
// agent scope comes from `call.scoped_agent`. The request's protocol version is read from
// `call.request`. Registry and pipeline failures become 500 errors; never throws for a bad
// request, a bad task log or an unwritable task log.
SendMessageResult run_send_message(const GatewayCall& call, std::string_view params,
                                   SendBinding binding);

// {"task": <view>} — the HTTP+JSON body and the JSON-RPC "SendMessage" result.
std::string send_result_task_document(const SendMessageResult& result);

// The agent-scope check: a named target must be the scoped agent. Nothing when it is.
std::optional<std::string> check_agent_scope_target(const SendIntake& intake,
                                                    const AgentRecord& scoped_agent);

// An agent-scoped send that names no target means the agent of its endpoint, however many
// others are registered: sets `target_id` to the scoped agent's public id.
void aim_at_scoped_agent(SendIntake& intake, const AgentRecord& scoped_agent);

// When the send names no target: the only sendable agent of `agents` becomes `target_agent`.
// Otherwise (a target given) nothing changes. The message when none or several are sendable.
std::optional<std::string> choose_implicit_target(SendIntake& intake,
                                                  const std::vector<AgentRecord>& agents);

// The hand-off: checks sender, target and text (refusals become a rejected task), stores a
// submitted record in `log`, runs the message pipeline with source "a2a_gateway" and builds
// the task from its outcome. The returned task is not stored here. `history` is the continued
// task's stored history ("" for a new task). Pipeline failures propagate as exceptions after
// a failed record has replaced the submitted one.
TaskRecord submit_a2a_send(const SendIntake& intake, const std::string& history,
                           const GatewayCall& call, const std::vector<AgentRecord>& agents,
                           const std::filesystem::path& log);

}  // namespace tessik
