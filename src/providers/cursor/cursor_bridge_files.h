// The file protocol between this system and its Cursor bridge extension: the bridge registry
// the extension keeps, the command files this system drops, the result files the extension
// writes back and the cancellation files that withdraw a command. All live in the state
// directory's "registry" folder. Functions here return failures as text; only the paths
// helpers throw (StateDirectoryError, when the state directory cannot be resolved).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tessik {

inline constexpr char kCursorBridgeExtensionId[] = "tessik.tessik-cursor-bridge";
inline constexpr char kCursorAgentWindowSurface[] = "cursor_agent_window";

// Where the files of one state directory live.
struct CursorBridgePaths {
  std::filesystem::path registry_file;      // cursor-bridge.json
  std::filesystem::path commands_dir;       // cursor-bridge-commands
  std::filesystem::path results_dir;        // cursor-bridge-results
  std::filesystem::path cancellations_dir;  // cursor-bridge-cancellations
  std::filesystem::path patch_status_file;  // cursor-patch.json

  std::filesystem::path command_file(std::string_view id) const;
  std::filesystem::path result_file(std::string_view id) const;
  std::filesystem::path cancellation_file(std::string_view id) const;
};

// The paths under `registry_directory`, or under the current state directory's.
CursorBridgePaths cursor_bridge_paths(const std::filesystem::path& registry_directory);
CursorBridgePaths cursor_bridge_paths();

// One registered editor window of the extension.
struct CursorBridge {
  std::string bridge_id;
  std::string surface;
  std::string workspace_name;
  std::string workspace_uri;
  std::string registered_at;
  std::string last_seen_at;
  std::string runtime_generation;
  std::uint64_t extension_host_process_id = 0;
  std::int64_t extension_host_started_at_unix_ms = 0;
  bool command_watcher_active = false;
  std::string active_composer_id;
  std::vector<std::string> selected_composer_ids;
};

// The bridge's surface, with an empty-window bridge that names none counted as the agent
// window. The same rule reads the surface a result reports, so that a bridge selected as an
// agent window is not refused when it answers with the fields it registered with.
std::string effective_cursor_surface(std::string_view surface, std::string_view workspace_name);
std::string effective_cursor_surface(const CursorBridge& bridge);

// The registry text written when the extension has not created the file yet.
extern const char kInitialCursorBridgeRegistry[];

struct CursorBridgeRegistry {
  std::vector<CursorBridge> bridges;
  std::string error;  // why the file could not be read; bridges are then empty
};

// Reads the registry, creating it with the initial text when absent (never replacing a file
// the extension wrote meanwhile). Entries that are not objects are skipped; fields of the wrong
// type read as empty.
CursorBridgeRegistry load_cursor_bridge_registry(const std::filesystem::path& registry_file);

// What a result file says. Missing fields are empty; numbers are given as their text. The
// extension writes each result whole (a temporary renamed into place): it is read once, as it
// first appears, and a file caught half-written reads as not readable.
struct CursorBridgeResult {
  bool readable = false;
  std::string error;  // why it is not readable
  std::string status, details, winning_method, internal_method, attempt_count, bridge_id,
      provider_session_id, cursor_composer_id, surface, workspace_name, workspace_uri;
};

CursorBridgeResult read_cursor_bridge_result(const std::filesystem::path& result_file);

struct CancellationWrite {
  bool written = false;
  std::string detail;  // "cancellation_written path=..." or the failing step
};

// Writes the cancellation file of `command_id` through a ".tmp" file swapped into place.
CancellationWrite write_cancellation(const CursorBridgePaths& paths, std::string_view command_id,
                                     std::string_view reason);

struct CursorPatchStatus {
  bool healthy = true;
  std::string status;                   // as the file says; "absent" without a file
  std::string failing_required_checks;  // comma-separated
};

// The extension's report on its patch of Cursor. Healthy are the statuses "healthy", "ok",
// "patched" and "verified" (in any letter case) and a missing file (nothing known to be
// broken); any other status, and a file that cannot be read, are unhealthy.
CursorPatchStatus read_cursor_patch_status(const std::filesystem::path& patch_file);

// The current Unix time in milliseconds.
std::int64_t unix_time_ms_now();

}  // namespace tessik
