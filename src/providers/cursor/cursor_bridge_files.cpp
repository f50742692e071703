// Reading and writing the Cursor bridge's files. Everything the extension wrote is treated as
// hostile: bounded in size and nesting before it is parsed.
#include "providers/cursor/cursor_bridge_files.h"

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>

#include "base/json_depth.h"
#include "base/text.h"
#include "platform/durable_file.h"
#include "platform/files.h"
#include "state/state_dir.h"

namespace tessik {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// The registry holds a few windows and the results are small; anything larger is not theirs.
constexpr std::uintmax_t kMaxBridgeFileBytes = 4 * 1024 * 1024;

// The parsed document, or nullopt with `error` set.
std::optional<json> read_json_file(const fs::path& path, std::string& error) {
  std::error_code ec;
  const std::uintmax_t size = fs::file_size(path, ec);
  if (ec) {
    error = "cannot read " + path.string() + ": " + ec.message();
    return std::nullopt;
  }
  if (size > kMaxBridgeFileBytes) {
    error = path.string() + " is larger than " + std::to_string(kMaxBridgeFileBytes) + " bytes";
    return std::nullopt;
  }
  std::ifstream in(path, std::ios::binary);
  std::string text(static_cast<std::size_t>(size), '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  if (!json_nesting_within(text)) {
    error = path.string() + " is nested too deeply";
    return std::nullopt;
  }
  json parsed = json::parse(text, nullptr, false);
  if (parsed.is_discarded() || !parsed.is_object()) {
    error = path.string() + " is not a JSON object";
    return std::nullopt;
  }
  return parsed;
}

// A field as text: strings as they are, numbers and booleans in their JSON form.
std::string text_of(const json& object, const char* key) {
  const auto found = object.find(key);
  if (found == object.end() || found->is_null() || found->is_structured()) return {};
  return found->is_string() ? found->get<std::string>() : found->dump();
}

std::uint64_t unsigned_of(const json& object, const char* key) {
  const auto found = object.find(key);
  if (found == object.end()) return 0;
  if (found->is_number_unsigned()) return found->get<std::uint64_t>();
  if (found->is_number_integer() && found->get<std::int64_t>() > 0) {
    return static_cast<std::uint64_t>(found->get<std::int64_t>());
  }
  return 0;
}

std::int64_t integer_of(const json& object, const char* key) {
  const auto found = object.find(key);
  if (found == object.end() || !found->is_number()) return 0;
  if (found->is_number_float()) return static_cast<std::int64_t>(found->get<double>());
  if (found->is_number_unsigned() && found->get<std::uint64_t>() > INT64_MAX) return 0;
  return found->get<std::int64_t>();
}

CursorBridge bridge_of(const json& entry) {
  CursorBridge bridge;
  bridge.bridge_id = text_of(entry, "bridge_id");
  bridge.surface = text_of(entry, "surface");
  bridge.workspace_name = text_of(entry, "workspace_name");
  bridge.workspace_uri = text_of(entry, "workspace_uri");
  bridge.registered_at = text_of(entry, "registered_at");
  bridge.last_seen_at = text_of(entry, "last_seen_at");
  bridge.runtime_generation = text_of(entry, "runtime_generation");
  bridge.extension_host_process_id = unsigned_of(entry, "extension_host_process_id");
  bridge.extension_host_started_at_unix_ms = integer_of(entry, "extension_host_started_at_unix_ms");
  const auto watcher = entry.find("command_watcher_active");
  bridge.command_watcher_active =
      watcher != entry.end() && watcher->is_boolean() && watcher->get<bool>();
  bridge.active_composer_id = text_of(entry, "active_composer_id");
  const auto selected = entry.find("selected_composer_ids");
  if (selected != entry.end() && selected->is_array()) {
    for (const json& id : *selected) {
      if (id.is_string()) bridge.selected_composer_ids.push_back(id.get<std::string>());
    }
  }
  return bridge;
}

// Creates the registry with its initial text unless a file is there already.
void create_registry_if_absent(const fs::path& registry_file) {
  std::error_code ec;
  platform::create_private_directories(registry_file.parent_path(), ec);
  if (ec) return;  // the read that follows reports the failure
  const fs::path temporary = platform::temporary_sibling_path(registry_file);
  int code = 0;
  const platform::FileHandle handle = platform::create_new_file(temporary, 0600, code);
  if (handle == platform::kInvalidFileHandle) return;
  const bool written = platform::write_all(handle, kInitialCursorBridgeRegistry, code) &&
                       platform::flush_file(handle, code);
  const bool closed = platform::close_file(handle, code);
  // An exclusive second name: a registry the extension wrote in the meantime wins.
  if (written && closed) platform::link_file_exclusive(temporary, registry_file, code);
  platform::remove_file_quietly(temporary);
}

std::string detail_with_code(const std::string& step, const fs::path& path, int code) {
  return step + " path=" + path.string() + " error=" + std::to_string(code);
}

}  // namespace

const char kInitialCursorBridgeRegistry[] =
    "{\n  \"schema_version\": 1,\n  \"bridges\": [],\n  \"commands\": [],\n  \"events\": [],\n"
    "  \"results\": []\n}\n";

fs::path CursorBridgePaths::command_file(std::string_view id) const {
  return commands_dir / (std::string(id) + ".json");
}
fs::path CursorBridgePaths::result_file(std::string_view id) const {
  return results_dir / (std::string(id) + ".json");
}
fs::path CursorBridgePaths::cancellation_file(std::string_view id) const {
  return cancellations_dir / (std::string(id) + ".json");
}

CursorBridgePaths cursor_bridge_paths(const fs::path& registry_directory) {
  return {registry_directory / "cursor-bridge.json", registry_directory / "cursor-bridge-commands",
          registry_directory / "cursor-bridge-results",
          registry_directory / "cursor-bridge-cancellations",
          registry_directory / "cursor-patch.json"};
}

CursorBridgePaths cursor_bridge_paths() {
  return cursor_bridge_paths(agents_registry_path().parent_path());
}

std::string effective_cursor_surface(std::string_view surface, std::string_view workspace_name) {
  if (surface.empty() && workspace_name == "Cursor Empty Window") return kCursorAgentWindowSurface;
  return std::string(surface);
}

std::string effective_cursor_surface(const CursorBridge& bridge) {
  return effective_cursor_surface(bridge.surface, bridge.workspace_name);
}

CursorBridgeRegistry load_cursor_bridge_registry(const fs::path& registry_file) {
  CursorBridgeRegistry registry;
  std::error_code ec;
  if (!fs::exists(registry_file, ec) && !ec) create_registry_if_absent(registry_file);
  const std::optional<json> document = read_json_file(registry_file, registry.error);
  if (!document) return registry;
  const auto bridges = document->find("bridges");
  if (bridges == document->end() || !bridges->is_array()) return registry;
  for (const json& entry : *bridges) {
    if (entry.is_object()) registry.bridges.push_back(bridge_of(entry));
  }
  return registry;
}

CursorBridgeResult read_cursor_bridge_result(const fs::path& result_file) {
  CursorBridgeResult result;
  const std::optional<json> document = read_json_file(result_file, result.error);
  if (!document) return result;
  result.readable = true;
  result.status = text_of(*document, "status");
  result.details = text_of(*document, "details");
  result.winning_method = text_of(*document, "winning_method");
  result.internal_method = text_of(*document, "internal_method");
  result.attempt_count = text_of(*document, "attempt_count");
  result.bridge_id = text_of(*document, "bridge_id");
  result.provider_session_id = text_of(*document, "provider_session_id");
  result.cursor_composer_id = text_of(*document, "cursor_composer_id");
  result.surface = text_of(*document, "surface");
  result.workspace_name = text_of(*document, "workspace_name");
  result.workspace_uri = text_of(*document, "workspace_uri");
  return result;
}

CancellationWrite write_cancellation(const CursorBridgePaths& paths, std::string_view command_id,
                                     std::string_view reason) {
  CancellationWrite outcome;
  std::error_code ec;
  platform::create_private_directories(paths.cancellations_dir, ec);
  if (ec) {
    outcome.detail = detail_with_code("cancellation_directory_create_failed",
                                      paths.cancellations_dir, ec.value());
    return outcome;
  }
  const fs::path final_path = paths.cancellation_file(command_id);
  fs::path temporary = final_path;
  temporary += ".tmp";
  const std::string content =
      "{\n  \"schema_version\": 1,\n  \"command_id\": \"" + json_escape(command_id) +
      "\",\n  \"status\": \"canceled\",\n  \"reason\": \"" + json_escape(reason) +
      "\",\n  \"canceled_at\": \"" + utc_timestamp_now() + "\"\n}\n";
  int code = 0;
  platform::remove_file_quietly(temporary);
  const platform::FileHandle handle = platform::create_new_file(temporary, 0600, code);
  if (handle == platform::kInvalidFileHandle || !platform::write_all(handle, content, code)) {
    int ignored = 0;
    if (handle != platform::kInvalidFileHandle) platform::close_file(handle, ignored);
    platform::remove_file_quietly(temporary);
    outcome.detail = detail_with_code("cancellation_temp_write_failed", temporary, code);
    return outcome;
  }
  const bool flushed = platform::flush_file(handle, code);
  int close_code = 0;
  const bool closed = platform::close_file(handle, close_code);
  if (!flushed || !closed) {
    if (flushed) code = close_code;
    platform::remove_file_quietly(temporary);
    outcome.detail = detail_with_code("cancellation_temp_flush_failed", temporary, code);
    return outcome;
  }
  if (!platform::replace_file(temporary, final_path, code)) {
    platform::remove_file_quietly(temporary);
    outcome.detail = detail_with_code("cancellation_atomic_replace_failed", final_path, code);
    return outcome;
  }
  outcome.written = true;
  outcome.detail = "cancellation_written path=" + final_path.string();
  return outcome;
}

CursorPatchStatus read_cursor_patch_status(const fs::path& patch_file) {
  CursorPatchStatus patch;
  std::error_code ec;
  if (!fs::exists(patch_file, ec) && !ec) {
    patch.status = "absent";
    return patch;
  }
  std::string error;
  const std::optional<json> document = read_json_file(patch_file, error);
  if (!document) {
    patch.healthy = false;
    patch.status = "unreadable";
    return patch;
  }
  patch.status = text_of(*document, "status");
  const auto checks = document->find("failing_required_checks");
  if (checks != document->end() && checks->is_array()) {
    for (const json& check : *checks) {
      if (!check.is_string()) continue;
      if (!patch.failing_required_checks.empty()) patch.failing_required_checks += ",";
      patch.failing_required_checks += check.get<std::string>();
    }
  } else {
    patch.failing_required_checks = text_of(*document, "failing_required_checks");
  }
  const std::string word = ascii_lower(trim(patch.status));
  patch.healthy = word == "healthy" || word == "ok" || word == "patched" || word == "verified";
  return patch;
}

std::int64_t unix_time_ms_now() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace tessik
