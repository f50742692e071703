// The send edge of the Codex desktop application: a message put into an existing thread
// through the application's IPC pipe, with a nudge through its codex:// URI when no window
// owns the thread yet.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "platform/uri_launcher.h"
#include "providers/codex/codex_ipc_client.h"
#include "providers/provider_edge_types.h"

namespace tessik {

// Everything the edge reaches outside itself, replaceable for tests. Empty members take the
// production values.
struct CodexDesktopOptions {
  std::filesystem::path pipe;  // the "codex-ipc" socket of the pipe directory when empty
  CodexIpcTimings timings;
  std::int64_t hydration_window_ms = 100000;  // re-probing after a successful nudge
  std::int64_t reprobe_interval_ms = 250;
  std::function<platform::UriOpenResult(const std::string& uri)> open_uri;
  std::filesystem::path evidence_log;  // the delivery log when empty
};

// Delivers `request.final_visible_body` into the Codex thread named by the target's provider
// session id. Every failure is a returned result with state "failed"; only the evidence log
// may throw (file-system failure). Blocks at most for the sum of the bounded waits.
DeliveryResult deliver_to_codex_desktop(const DeliveryRequest& request,
                                        const CodexDesktopOptions& options = {});

}  // namespace tessik
