// Tool detection for provider factories. Uses only std::filesystem so it stays portable.
#include "lifecycle/provider_tools.h"

#include <cstdlib>
#include <system_error>

namespace tessik {
namespace {

namespace fs = std::filesystem;

bool is_executable_file(const fs::path& path) {
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  if (error || !fs::is_regular_file(status)) return false;
  const fs::perms exec = fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;
  return (status.permissions() & exec) != fs::perms::none;
}

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

ProviderToolLocation found_at(const fs::path& path) {
  ProviderToolLocation location;
  location.found = true;
  location.path = path;
  location.evidence = "executable:" + path.string();
  return location;
}

}  // namespace

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

fs::path find_executable_on_path(std::string_view name) {
  if (name.empty()) return {};
  const std::string path_variable = environment("PATH");
  std::size_t start = 0;
  while (start <= path_variable.size()) {
    const std::size_t colon = path_variable.find(':', start);
    const std::string directory = path_variable.substr(start, colon - start);
    if (!directory.empty()) {
      const fs::path candidate = fs::path(directory) / std::string(name);
      if (is_executable_file(candidate)) return fs::absolute(candidate);
    }
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  return {};
}

ProviderToolLocation locate_provider_tool(std::string_view provider_key) {
  if (provider_key == "claude_code_cli") {
    std::vector<fs::path> fixed;
    if (const std::string home = environment("HOME"); !home.empty()) {
      fixed.push_back(fs::path(home) / ".local" / "bin" / "claude");
    }
    if (const std::string prefix = environment("NPM_CONFIG_PREFIX"); !prefix.empty()) {
      fixed.push_back(fs::path(prefix) / "bin" / "claude");
    }
    for (const fs::path& candidate : fixed) {
      if (is_executable_file(candidate)) return found_at(candidate);
    }
  }
  for (const std::string& name : provider_tool_names(provider_key)) {
    if (fs::path path = find_executable_on_path(name); !path.empty()) return found_at(path);
  }
  return {};
}

}  // namespace tessik
