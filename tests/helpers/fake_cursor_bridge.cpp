// Test helper: a stand-in for the Cursor bridge extension. It registers itself in the bridge
// registry of REGISTRY_DIR with its real process id and start time, watches the commands
// directory, and answers each command with a result file (or not at all).
//
// Usage: fake_cursor_bridge REGISTRY_DIR [--bridge-id ID] [--watcher] [--silent]
//          [--start-offset-ms N] [--surface S] [--workspace-name W] [--status S]
//          [--result-bridge-id ID] [--result-surface S]
// --start-offset-ms shifts the recorded start time (a host that was restarted since);
// --status, --result-bridge-id and --result-surface change what the results claim.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>

#include "platform/directory_watch.h"
#include "platform/process_identity.h"
#include "platform/stop_signal.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// Writes through a temporary and a rename, as the extension does, so readers never see a
// half-written file.
void write_whole(const fs::path& path, const std::string& text) {
  const fs::path temporary = path.string() + ".fake-tmp";
  std::ofstream(temporary, std::ios::binary | std::ios::trunc) << text;
  fs::rename(temporary, path);
}

std::string read_whole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

struct Settings {
  fs::path registry_dir;
  std::map<std::string, std::string> values{{"--bridge-id", "fake-bridge-1"},
                                            {"--start-offset-ms", "0"},
                                            {"--surface", "cursor_agent_window"},
                                            {"--workspace-name", "fake-workspace"},
                                            {"--status", "accepted_by_provider"}};
  bool watcher = false;
  bool silent = false;

  std::string get(const std::string& key) const {
    const auto found = values.find(key);
    return found == values.end() ? std::string() : found->second;
  }
};

void register_bridge(const Settings& settings) {
  const auto self = tessik::platform::query_process_start(tessik::platform::current_process_id());
  json bridge = {{"bridge_id", settings.get("--bridge-id")},
                 {"surface", settings.get("--surface")},
                 {"workspace_name", settings.get("--workspace-name")},
                 {"workspace_uri", "file:///fake/" + settings.get("--workspace-name")},
                 {"registered_at", "2026-01-01T00:00:00Z"},
                 {"last_seen_at", "2026-01-01T00:00:00Z"},
                 {"runtime_generation", 1},
                 {"extension_host_process_id", ::getpid()},
                 {"extension_host_started_at_unix_ms",
                  self.started_at_unix_ms + std::stoll(settings.get("--start-offset-ms"))},
                 {"command_watcher_active", settings.watcher},
                 {"active_composer_id", ""},
                 {"selected_composer_ids", json::array()}};
  json registry = {{"schema_version", 1},
                   {"bridges", json::array({bridge})},
                   {"commands", json::array()},
                   {"events", json::array()},
                   {"results", json::array()}};
  fs::create_directories(settings.registry_dir);
  write_whole(settings.registry_dir / "cursor-bridge.json", registry.dump(2) + "\n");
}

void answer(const Settings& settings, const fs::path& command_file) {
  const json command = json::parse(read_whole(command_file), nullptr, false);
  if (command.is_discarded() || settings.silent) return;
  const json methods = command.value("delivery_methods", json::array());
  const std::string surface = settings.values.count("--result-surface")
                                  ? settings.get("--result-surface")
                                  : settings.get("--surface");
  const std::string bridge_id = settings.values.count("--result-bridge-id")
                                    ? settings.get("--result-bridge-id")
                                    : settings.get("--bridge-id");
  json result = {{"status", settings.get("--status")},
                 {"details", "fake bridge handled " + command.value("operation", "")},
                 {"winning_method", methods.empty() ? "" : methods.front().get<std::string>()},
                 {"internal_method", "fake_submit"},
                 {"attempt_count", 1},
                 {"bridge_id", bridge_id},
                 {"provider_session_id", command.value("provider_session_id", "")},
                 {"cursor_composer_id", command.value("cursor_composer_id", "")},
                 {"surface", surface},
                 {"workspace_name", settings.get("--workspace-name")},
                 {"workspace_uri", "file:///fake/" + settings.get("--workspace-name")}};
  const fs::path results = settings.registry_dir / "cursor-bridge-results";
  fs::create_directories(results);
  write_whole(results / command_file.filename(), result.dump(2) + "\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: fake_cursor_bridge REGISTRY_DIR [options]\n", stderr);
    return 2;
  }
  Settings settings;
  settings.registry_dir = argv[1];
  for (int i = 2; i < argc; ++i) {
    const std::string flag = argv[i];
    if (flag == "--watcher") {
      settings.watcher = true;
    } else if (flag == "--silent") {
      settings.silent = true;
    } else if (i + 1 < argc) {
      settings.values[flag] = argv[++i];
    }
  }
  tessik::platform::StopSignal stop;
  if (!stop.open({}, true)) return 1;
  const fs::path commands = settings.registry_dir / "cursor-bridge-commands";
  fs::create_directories(commands);
  tessik::platform::DirectoryWatch watch;
  int code = 0;
  if (!watch.open(commands, code)) return 1;
  register_bridge(settings);
  std::set<fs::path> handled;
  while (!stop.stop_requested()) {
    for (const auto& entry : fs::directory_iterator(commands)) {
      const fs::path path = entry.path();
      if (path.extension() != ".json" || !handled.insert(path).second) continue;
      answer(settings, path);
    }
    watch.wait(100, code);
    watch.rearm(code);
  }
  return 0;
}
