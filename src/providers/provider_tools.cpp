// Tool detection for provider factories, on top of the process runner's PATH search.
#include "providers/provider_tools.h"

#include <cstdlib>

#include "platform/bounded_process.h"

namespace tessik {
namespace {

namespace fs = std::filesystem;

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// A path with a slash is checked as given; a bare name is searched on PATH.
ProviderToolLocation locate(const std::string& name_or_path) {
  ProviderToolLocation location;
  const platform::ExecutableResolution resolution =
      platform::resolve_executable_on_path(name_or_path);
  if (!resolution.error.empty() || resolution.path.empty()) return location;
  location.found = true;
  location.path = resolution.path;
  location.evidence = "executable:" + resolution.path.string();
  return location;
}

}  // namespace

std::filesystem::path user_home_directory() {
  if (std::string home = environment("HOME"); !home.empty()) return home;
  return environment("USERPROFILE");
}

std::vector<std::string> provider_tool_names(std::string_view provider_key) {
  if (provider_key == "codex" || provider_key == "codex_cli") return {"codex"};
  if (provider_key == "antigravity") return {"antigravity"};
  if (provider_key == "antigravity_cli") return {"agy", "antigravity"};
  if (provider_key == "vscode_native" || provider_key == "vscode_copilot_backed") return {"code"};
  if (provider_key == "cursor") return {"cursor"};
  if (provider_key == "cursor_cli") return {"cursor-agent"};
  if (provider_key == "claude_code_cli") return {"claude"};
  if (provider_key == "copilot_cli") return {"copilot"};
  if (provider_key == "opencode_cli") return {"opencode"};
  return {};
}

ProviderToolLocation locate_provider_tool(std::string_view provider_key) {
  std::vector<std::string> candidates;
  if (provider_key == "claude_code_cli") {
    if (const fs::path home = user_home_directory(); !home.empty()) {
      candidates.push_back((home / ".local" / "bin" / "claude").string());
    }
    if (const std::string prefix = environment("NPM_CONFIG_PREFIX"); !prefix.empty()) {
      candidates.push_back((fs::path(prefix) / "bin" / "claude").string());
    }
  }
  for (const std::string& name : provider_tool_names(provider_key))
    candidates.push_back(name);
  for (const std::string& candidate : candidates) {
    if (ProviderToolLocation location = locate(candidate); location.found) return location;
  }
  return {};
}

}  // namespace tessik
