// Create tasks: a SendMessage inside a provider factory's scope creates a new assistant
// session through the create workflow and answers with a task that ends with the new agent.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "a2a/cards/provider_factories.h"
#include "a2a/gateway/gateway_call.h"
#include "a2a/tasks/task_record.h"
#include "a2a/tasks/task_result.h"
#include "lifecycle/create_workflow.h"

namespace tessik {

// The create request a message to `factory` stands for, with the ids of its task.
struct CreateTaskIntake {
  CreateRequest request;  // provider, name, model, cwd; the message text as initial message
  std::string task_id;    // trimmed; a fresh id when the request names none
  std::string context_id;
  std::string message_id;
  std::string text;
};

// Reads a validated SendMessage request object: the name from the metadata keys
// "tessikCreateName", "displayName" (default "A2A " + the factory's display name), the model
// from "tessikModel", "model", the working directory from "tessikCwd", "cwd" (params metadata
// first, then message metadata; the first non-blank value wins). Never throws.
CreateTaskIntake extract_create_request(std::string_view params, const ProviderFactory& factory);

// Runs one create request to its end; the gateway runs the create workflow with the pipeline's
// edges, tests pass their own.
using CreateRunner = std::function<CreateWorkflowResult(const CreateRequest&)>;

// The answer of a create: the stored task and its view, or an error that left no task.
struct CreateTaskResult {
  std::optional<TaskRecord> task;
  std::string task_view;
  std::optional<TaskError> error;

  bool ok() const { return !error.has_value(); }
};

// The create task of a SendMessage whose request object is `params`, for `factory`. The
// caller has checked "agent.create". Validation failures are errors with local code
// `invalid_code` ("TESSIK_A2A_SEND_INVALID" over HTTP+JSON, "TESSIK_A2A_CREATE_INVALID" on
// JSON-RPC); a failed creation is a failed task, not an error. The task is appended to the task
// log before the answer. Never throws: registry and workflow exceptions become a failed task,
// an unwritable task log a 500 error.
CreateTaskResult run_create_task(const GatewayCall& call, std::string_view params,
                                 const ProviderFactory& factory, std::string_view invalid_code,
                                 const CreateRunner& runner = {});

// {"task": <view>}.
std::string create_result_task_document(const CreateTaskResult& result);

}  // namespace tessik
