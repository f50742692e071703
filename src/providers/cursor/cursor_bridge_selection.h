// Choosing the Cursor window that should execute a command: which registered bridges are live,
// which of them is an agent window, and which one owns the target composer. Also the names of
// the delivery methods a command may ask the bridge to try.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "providers/cursor/cursor_bridge_files.h"

namespace tessik {

// The recorded start time may differ this much from the process's own creation time.
inline constexpr std::int64_t kCursorBridgeStartToleranceMs = 10000;

// True when the bridge's extension host still runs as the same process it registered from:
// the pid is non-zero and 32-bit, the recorded start is non-zero, the process has not exited,
// and its creation time is within the tolerance of the recorded start.
bool is_cursor_bridge_live(const CursorBridge& bridge);

struct CursorBridgeSelection {
  std::optional<CursorBridge> bridge;
  std::string reason;  // why this bridge, or why none
};

// Picks the live agent-window bridge for `operation` on `composer_id` (see the reason words).
CursorBridgeSelection select_cursor_bridge(const std::vector<CursorBridge>& bridges,
                                           std::string_view operation,
                                           std::string_view composer_id);

struct CursorDeliveryMethods {
  bool ok = false;
  std::string requested;             // the full name of the requested method, empty for none
  std::vector<std::string> methods;  // what the bridge may try, in order
  std::string error;
  std::string evidence;
};

// Resolves a requested method given as its letter (A-E), "method-a"/"method_a" or its full
// name. An empty request allows every method in order A to E.
CursorDeliveryMethods resolve_cursor_delivery_methods(std::string_view requested);

}  // namespace tessik
