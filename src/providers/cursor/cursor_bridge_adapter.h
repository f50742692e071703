// The send edge of Cursor's agent window through this system's bridge extension: a command
// file for the extension, a wake-up through the cursor:// URI when no watcher runs, and the
// extension's result file checked against the bridge and surface that were targeted.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "platform/uri_launcher.h"
#include "providers/provider_edge_types.h"

namespace tessik {

// Everything the edge reaches outside itself, replaceable for tests. Empty members take the
// production values.
struct CursorBridgeOptions {
  std::filesystem::path registry_directory;  // the state directory's "registry" when empty
  std::int64_t create_timeout_ms = 240000;
  std::int64_t operation_timeout_ms = 250000;  // every operation but create
  std::int64_t result_grace_ms = 5000;         // waited beyond the command's own time-out
  std::function<platform::UriOpenResult(const std::string& uri)> open_uri;
};

// One operation for the extension.
struct CursorBridgeOperation {
  std::string operation;  // "send_to_cursor_existing_composer", "create_cursor_composer", ...
  std::string provider;   // copied into the result
  std::string provider_session_id;  // "cursor:composer:<uuid>"
  std::string target_agent;
  std::string message;
  std::string requested_name;
  std::string requested_delivery_method;
};

// Runs one bridge operation to its result. Every failure is a returned result with state
// "failed"; the call blocks at most for the operation's time-out plus the grace (and the URI
// opener's own bound). Throws only StateDirectoryError when the state directory cannot be
// resolved.
DeliveryResult run_cursor_bridge_operation(const CursorBridgeOperation& operation,
                                           const CursorBridgeOptions& options = {});

// The send edge: the final visible body into the target's existing composer.
DeliveryResult deliver_to_cursor_bridge(const DeliveryRequest& request,
                                        const CursorBridgeOptions& options = {});

}  // namespace tessik
