// The Cursor bridge send path: gate, validate, pick a bridge, drop the command, wake or wait
// for the extension, and judge its result.
#include "providers/cursor/cursor_bridge_adapter.h"

#include <optional>

#include "base/random.h"
#include "base/text.h"
#include "platform/files.h"
#include "providers/cursor/cursor_bridge_command.h"
#include "providers/cursor/cursor_bridge_files.h"
#include "providers/cursor/cursor_bridge_selection.h"
#include "providers/cursor/cursor_result_wait.h"
#include "registry/lock_publish.h"

namespace tessik {
namespace {

constexpr char kBridgeMethod[] = "tessik_cursor_bridge_multi_method";
constexpr char kComposerPrefix[] = "cursor:composer:";

DeliveryResult failure(DeliveryResult result, std::string error, std::string evidence) {
  result.error = std::move(error);
  result.evidence = std::move(evidence);
  return result;
}

// How the command reached the extension, for the time-out evidence.
struct Dispatch {
  std::string trigger;
  bool watcher_available = false;
};

DeliveryResult timed_out(DeliveryResult result, const CursorBridgePaths& paths,
                         const CursorBridgeCommand& command, const Dispatch& dispatch,
                         const std::string& wait_detail) {
  const CancellationWrite cancellation =
      write_cancellation(paths, command.command_id, "provider_result_wait_timeout");
  return failure(std::move(result), "timed out waiting for Tessik Cursor bridge result",
                 "command_id=" + command.command_id +
                     " command_file=" + paths.command_file(command.command_id).string() +
                     " result_file=" + paths.result_file(command.command_id).string() +
                     " trigger=" + dispatch.trigger + " watcher_primary_available=" +
                     (dispatch.watcher_available ? "true" : "false") +
                     " target_bridge_reason=" + command.target_bridge_reason +
                     " extension_id=" + kCursorBridgeExtensionId + " wait_detail=" + wait_detail +
                     " cancellation_written=" + (cancellation.written ? "true" : "false") +
                     " cancellation_detail=" + cancellation.detail);
}

DeliveryResult judge_result(DeliveryResult result, const CursorBridgeResult& answer,
                            const CursorBridgeCommand& command) {
  if (!command.target_bridge_id.empty() && answer.bridge_id != command.target_bridge_id) {
    return failure(std::move(result), "Cursor bridge result was handled by the wrong bridge.",
                   "target_bridge_id=" + command.target_bridge_id + " handled_bridge_id=" +
                       answer.bridge_id + " handled_surface=" + answer.surface +
                       " handled_workspace_name=" + answer.workspace_name +
                       " handled_workspace_uri=" + answer.workspace_uri);
  }
  if (effective_cursor_surface(answer.surface, answer.workspace_name) !=
      kCursorAgentWindowSurface) {
    return failure(std::move(result), "Cursor bridge result did not come from the agent window.",
                   "handled_bridge_id=" + answer.bridge_id + " handled_surface=" + answer.surface);
  }
  const std::string composer =
      answer.cursor_composer_id.empty() ? command.cursor_composer_id : answer.cursor_composer_id;
  if (answer.status.starts_with("accepted_by_")) {
    result.state = "accepted_by_provider";
    result.accepted = true;
    if (!answer.winning_method.empty()) result.method += ":" + answer.winning_method;
    result.provider_session_id = kComposerPrefix + composer;
  } else {
    result.error = answer.details;
  }
  result.evidence = "status=" + answer.status + " details=" + answer.details +
                    " winning_method=" + answer.winning_method +
                    " internal_method=" + answer.internal_method +
                    " attempt_count=" + answer.attempt_count + " cursor_composer_id=" + composer +
                    " provider_session_id=" + kComposerPrefix + composer;
  return result;
}

// Steps before anything is written: the patch gate and the operation's own inputs.
// Returns the composer id, or the failed result in `result`.
std::optional<std::string> validate(DeliveryResult& result, const CursorBridgeOperation& operation,
                                    const CursorBridgePaths& paths) {
  const CursorPatchStatus patch = read_cursor_patch_status(paths.patch_status_file);
  if (!patch.healthy) {
    result.method = "cursor_patch_status_gate";
    result = failure(std::move(result), "Cursor provider patch is unhealthy",
                     "Cursor patch status is " + patch.status +
                         " failing_required_checks=" + patch.failing_required_checks);
    return std::nullopt;
  }
  if (trim(operation.operation).empty()) {
    result =
        failure(std::move(result), "Cursor bridge operation is empty", "no fallback is allowed");
    return std::nullopt;
  }
  const std::string session = trim(operation.provider_session_id);
  const std::string composer =
      session.starts_with(kComposerPrefix) ? session.substr(sizeof kComposerPrefix - 1) : "";
  if (!is_uuid_text(composer)) {
    result = failure(std::move(result), "Cursor target is missing provider_session_id",
                     "provider_session_id must be cursor:composer:<uuid>");
    return std::nullopt;
  }
  const bool carries_message = operation.operation == "create_cursor_composer" ||
                               operation.operation == "send_to_cursor_existing_composer";
  if (carries_message && trim(operation.message).empty()) {
    result = failure(std::move(result), "Cursor bridge command message is empty",
                     "create/send bridge paths require a non-empty message");
    return std::nullopt;
  }
  return composer;
}

CursorBridgeCommand command_for(const CursorBridgeOperation& operation, const std::string& composer,
                                const CursorBridgeSelection& selection,
                                const CursorDeliveryMethods& methods,
                                const CursorBridgeOptions& options) {
  const bool create = operation.operation == "create_cursor_composer";
  CursorBridgeCommand command;
  command.command_id = random_uuid();
  command.operation = operation.operation;
  command.provider_session_id = trim(operation.provider_session_id);
  command.cursor_composer_id = composer;
  command.target_agent = operation.target_agent;
  if (selection.bridge) {
    command.target_bridge_id = selection.bridge->bridge_id;
    command.target_workspace_name = selection.bridge->workspace_name;
    command.target_workspace_uri = selection.bridge->workspace_uri;
  }
  command.target_bridge_reason = selection.reason;
  command.requested_name = operation.requested_name;
  command.correlation_timeout_ms = create ? 20000 : 0;
  command.requested_delivery_method = methods.requested;
  command.message_role = "user";
  command.message = operation.message;
  command.delivery_methods = methods.methods;
  command.timeout_ms = create ? options.create_timeout_ms : options.operation_timeout_ms;
  command.created_at_unix_ms = unix_time_ms_now();
  command.expires_at_unix_ms = command.created_at_unix_ms + command.timeout_ms;
  command.created_at = utc_timestamp_now();
  return command;
}

}  // namespace

DeliveryResult run_cursor_bridge_operation(const CursorBridgeOperation& operation,
                                           const CursorBridgeOptions& options) {
  DeliveryResult result;
  result.provider = operation.provider.empty() ? "cursor" : operation.provider;
  result.state = "failed";
  result.method = kBridgeMethod;
  result.provider_session_id = operation.provider_session_id;
  const CursorBridgePaths paths = options.registry_directory.empty()
                                      ? cursor_bridge_paths()
                                      : cursor_bridge_paths(options.registry_directory);
  const std::optional<std::string> composer = validate(result, operation, paths);
  if (!composer) return result;
  const CursorDeliveryMethods methods =
      resolve_cursor_delivery_methods(operation.requested_delivery_method);
  if (!methods.ok) return failure(std::move(result), methods.error, methods.evidence);

  const CursorBridgeRegistry registry = load_cursor_bridge_registry(paths.registry_file);
  const CursorBridgeSelection selection =
      select_cursor_bridge(registry.bridges, operation.operation, *composer);
  const CursorBridgeCommand command =
      command_for(operation, *composer, selection, methods, options);
  try {
    std::error_code ec;
    platform::create_private_directories(paths.results_dir, ec);
    publish_file_atomically(paths.command_file(command.command_id),
                            render_cursor_bridge_command(command), "Cursor bridge command file");
  } catch (const RegistryError& error) {
    return failure(std::move(result), "could not write Cursor bridge command file", error.what());
  }

  Dispatch dispatch;
  dispatch.watcher_available = selection.bridge && selection.bridge->command_watcher_active;
  if (dispatch.watcher_available) {
    dispatch.trigger = "cursor_bridge_command_watcher";
  } else {
    dispatch.trigger = "cursor_bridge_uri_execute_no_active_watcher";
    const std::string uri = std::string("cursor://") + kCursorBridgeExtensionId +
                            "/execute?command_id=" + command.command_id;
    const platform::UriOpenResult opened =
        options.open_uri ? options.open_uri(uri) : platform::open_uri(uri);
    if (!opened.opened) {
      return failure(std::move(result), "failed to trigger Tessik Cursor bridge URI",
                     "command_id=" + command.command_id + " uri=" + uri + " error=" + opened.error);
    }
  }
  const std::filesystem::path result_file = paths.result_file(command.command_id);
  const CursorResultWait waited =
      wait_for_result_file(result_file, command.timeout_ms + options.result_grace_ms);
  std::string recheck;
  if (!waited.found) {
    std::error_code ignored;
    if (!std::filesystem::exists(result_file, ignored)) {
      return timed_out(std::move(result), paths, command, dispatch, waited.detail);
    }
    recheck = " final_result_recheck=present";
  }
  const CursorBridgeResult answer = read_cursor_bridge_result(result_file);
  if (!answer.readable) {
    return failure(std::move(result), "Cursor bridge result file could not be read",
                   "command_id=" + command.command_id + " result_error=" + answer.error);
  }
  result = judge_result(std::move(result), answer, command);
  result.evidence += recheck;
  return result;
}

DeliveryResult deliver_to_cursor_bridge(const DeliveryRequest& request,
                                        const CursorBridgeOptions& options) {
  CursorBridgeOperation operation;
  operation.operation = "send_to_cursor_existing_composer";
  operation.provider = request.target.provider;
  operation.provider_session_id = request.target.provider_session_id;
  operation.target_agent =
      request.target.display_name.empty() ? request.target.agent_id : request.target.display_name;
  operation.message = request.final_visible_body;
  operation.requested_delivery_method = request.requested_delivery_method;
  return run_cursor_bridge_operation(operation, options);
}

}  // namespace tessik
