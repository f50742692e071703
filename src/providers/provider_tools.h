// Finding an assistant's command-line tool on this machine, for provider detection.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tessik {

struct ProviderToolLocation {
  bool found = false;
  std::filesystem::path path;  // absolute path of the tool when found
  std::string evidence;        // "executable:<path>" when found, else empty
};

// The user's home directory: HOME, else USERPROFILE; empty when neither is set. Assistants
// keep their per-user state and installs below it.
std::filesystem::path user_home_directory();

// The executable names that stand for a provider's tool (catalog key), in search order;
// empty for providers without a local tool (mailbox, remote).
std::vector<std::string> provider_tool_names(std::string_view provider_key);

// Looks for the provider's tool: for Claude Code first "$HOME/.local/bin/claude" and the npm
// global prefix's "bin/claude" ($NPM_CONFIG_PREFIX, else the "prefix" of ~/.npmrc), then every
// tool name on PATH. Reads the environment and ~/.npmrc on every call; never throws.
ProviderToolLocation locate_provider_tool(std::string_view provider_key);

}  // namespace tessik
