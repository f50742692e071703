// Tool detection for provider factories, on top of the process runner's PATH search.
#include "providers/provider_tools.h"

#include <cstdlib>
#include <fstream>

#include "base/text.h"
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

// npm's global prefix for this user: the environment's setting, else the last "prefix" line of
// ~/.npmrc, which is where `npm config set prefix` puts a per-user install directory. A
// leading "~/" or "${HOME}" stands for the home directory, as npm reads it.
fs::path npm_global_prefix(const fs::path& home) {
  for (const char* name : {"NPM_CONFIG_PREFIX", "npm_config_prefix"}) {
    if (std::string value = environment(name); !value.empty()) return value;
  }
  if (home.empty()) return {};
  std::ifstream npmrc(home / ".npmrc");
  std::string prefix;
  std::string line;
  for (int lines = 0; lines < 10000 && std::getline(npmrc, line); ++lines) {
    std::string_view text = trim_view(line);
    if (text.substr(0, 6) != "prefix") continue;
    text = trim_view(text.substr(6));
    if (text.empty() || text.front() != '=') continue;
    text = trim_view(text.substr(1));
    if (text.size() >= 2 && (text.front() == '"' || text.front() == '\'') &&
        text.back() == text.front()) {
      text = text.substr(1, text.size() - 2);
    }
    prefix = std::string(text);
  }
  for (std::string_view home_word : {"~/", "${HOME}/"}) {
    if (prefix.rfind(home_word, 0) == 0) return home / prefix.substr(home_word.size());
  }
  return prefix;
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
    const fs::path home = user_home_directory();
    if (!home.empty()) candidates.push_back((home / ".local" / "bin" / "claude").string());
    if (const fs::path prefix = npm_global_prefix(home); !prefix.empty()) {
      candidates.push_back((prefix / "bin" / "claude").string());
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
