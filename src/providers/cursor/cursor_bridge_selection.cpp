// Bridge liveness, bridge selection and delivery-method names.
#include "providers/cursor/cursor_bridge_selection.h"

#include <array>
#include <cstdlib>

#include "base/text.h"
#include "platform/process_identity.h"

namespace tessik {
namespace {

constexpr std::array<const char*, 5> kMethodNames = {
    "direct_chat_service_submit", "direct_loaded_agent_submit",
    "canvas_open_then_direct_loaded_agent_submit", "surface_then_direct_loaded_agent_submit",
    "surface_then_ui_handler_submit"};

// The newest by registration time (ISO text sorts in time order); a later entry wins a tie.
const CursorBridge& newest(const std::vector<const CursorBridge*>& candidates) {
  const CursorBridge* best = candidates.front();
  for (const CursorBridge* candidate : candidates) {
    if (candidate->registered_at >= best->registered_at) best = candidate;
  }
  return *best;
}

bool owns_composer(const CursorBridge& bridge, std::string_view composer_id) {
  if (composer_id.empty()) return false;
  if (bridge.active_composer_id == composer_id) return true;
  for (const std::string& id : bridge.selected_composer_ids) {
    if (id == composer_id) return true;
  }
  return false;
}

}  // namespace

bool is_cursor_bridge_live(const CursorBridge& bridge) {
  const std::uint64_t pid = bridge.extension_host_process_id;
  if (pid == 0 || pid > 0xFFFFFFFFULL || bridge.extension_host_started_at_unix_ms == 0) {
    return false;
  }
  const platform::ProcessStart start =
      platform::query_process_start(static_cast<std::uint32_t>(pid));
  return start.running &&
         std::llabs(start.started_at_unix_ms - bridge.extension_host_started_at_unix_ms) <=
             kCursorBridgeStartToleranceMs;
}

CursorBridgeSelection select_cursor_bridge(const std::vector<CursorBridge>& bridges,
                                           std::string_view operation,
                                           std::string_view composer_id) {
  if (bridges.empty()) return {std::nullopt, "no_cursor_bridge_registered"};
  std::vector<const CursorBridge*> candidates;
  std::size_t stale = 0;
  for (const CursorBridge& bridge : bridges) {
    if (effective_cursor_surface(bridge) != kCursorAgentWindowSurface) continue;
    if (is_cursor_bridge_live(bridge)) {
      candidates.push_back(&bridge);
    } else {
      ++stale;
    }
  }
  if (candidates.empty()) {
    if (stale > 0) {
      return {std::nullopt, "no_live_cursor_agent_window_bridge_registered stale_or_unverifiable=" +
                                std::to_string(stale)};
    }
    return {std::nullopt, "no_cursor_agent_window_bridge_registered"};
  }
  for (const CursorBridge* candidate : candidates) {
    if (owns_composer(*candidate, composer_id)) {
      return {*candidate, "selected_agent_window_bridge_with_active_or_selected_composer"};
    }
  }
  if (candidates.size() == 1) return {*candidates.front(), "selected_only_agent_window_bridge"};
  if (operation == "create_cursor_composer") {
    return {newest(candidates), "selected_newest_agent_window_bridge_for_create"};
  }
  return {newest(candidates), "selected_newest_agent_window_bridge_without_active_composer_match"};
}

CursorDeliveryMethods resolve_cursor_delivery_methods(std::string_view requested) {
  CursorDeliveryMethods resolved;
  const std::string value = trim(requested);
  if (value.empty()) {
    resolved.ok = true;
    resolved.methods.assign(kMethodNames.begin(), kMethodNames.end());
    return resolved;
  }
  const std::string lower = ascii_lower(value);
  for (std::size_t i = 0; i < kMethodNames.size(); ++i) {
    const std::string letter(1, static_cast<char>('a' + i));
    if (lower == letter || lower == "method-" + letter || lower == "method_" + letter ||
        value == kMethodNames[i]) {
      resolved.ok = true;
      resolved.requested = kMethodNames[i];
      resolved.methods = {kMethodNames[i]};
      return resolved;
    }
  }
  resolved.error = "Unsupported Cursor delivery method: " + value;
  resolved.evidence =
      "allowed_methods=A=direct_chat_service_submit, B=direct_loaded_agent_submit, "
      "C=canvas_open_then_direct_loaded_agent_submit, D=surface_then_direct_loaded_agent_submit, "
      "E=surface_then_ui_handler_submit";
  return resolved;
}

}  // namespace tessik
