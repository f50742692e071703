// Provider catalog and provider-name normalization.
#include "providers/provider_catalog.h"

#include <algorithm>
#include <array>

#include "base/text.h"

namespace tessik {
namespace {

constexpr std::array<std::string_view, 11> kFactoryKeys = {
    "codex",           "codex_cli",     "antigravity",
    "antigravity_cli", "vscode_native", "vscode_copilot_backed",
    "cursor",          "cursor_cli",    "claude_code_cli",
    "copilot_cli",     "opencode_cli"};

std::vector<ProviderCatalogEntry> build_catalog() {
  return {
      {"tessik_mailbox",
       {"tessik-mailbox", "mailbox"},
       {"tessik_mailbox", "tessik-mailbox", "mailbox"},
       {"mailbox_atomic_spool"}},
      {"vscode_native",
       {"vs_code_native", "vscode", "vscode_native_extension", "vscode_native_mcp",
        "vscode-native"},
       {"vscode_native", "vscode-native"},
       {"vscode_native_bridge"}},
      {"vscode_copilot_backed",
       {"vs_code_copilot", "vscode_copilot", "vscode_copilot_extension", "vscode_copilot_mcp",
        "vscode_copilot_patch", "copilot_backed", "vscode-copilot"},
       {"vscode_copilot", "vscode-copilot", "vscode_copilot_backed"},
       {"vscode_copilot_bridge"}},
      {"codex", {"codex_desktop", "codex_agents"}, {"codex"}, {"codex_desktop_ipc"}},
      {"codex_cli",
       {"standalone_codex_cli", "codex-cli"},
       {"codex_cli", "codex-cli"},
       {"codex_cli_mcp"}},
      {"antigravity", {"google_antigravity"}, {"antigravity"}, {"antigravity_agentapi"}},
      {"antigravity_cli",
       {"agy", "ag_cli", "antigravity-cli"},
       {"antigravity_cli", "antigravity-cli", "ag-cli"},
       {"antigravity_cli_mcp"}},
      {"cursor", {"cursor_agents", "cursor_editor"}, {"cursor"}, {"cursor_bridge"}},
      {"cursor_cli", {"cursor-cli"}, {"cursor_cli", "cursor-cli"}, {"cursor_cli_mcp"}},
      {"claude_code_cli",
       {"claude_cli", "claude", "claude-code-cli"},
       {"claude_code_cli", "claude-code-cli"},
       {"claude_code_cli_mcp"}},
      {"copilot_cli",
       {"standalone_copilot_cli", "copilot-cli"},
       {"copilot_cli", "copilot-cli"},
       {"copilot_cli_mcp"}},
      {"opencode_cli",
       {"opencode", "open_code_cli", "opencode-cli"},
       {"opencode_cli", "opencode-cli"},
       {"opencode_cli_mcp"}},
      {"remote", {"remote_node"}, {"remote"}, {"remote_relay"}},
  };
}

bool matches_any(const std::vector<std::string>& spellings, const std::string& normalized) {
  return std::any_of(spellings.begin(), spellings.end(), [&](const std::string& spelling) {
    return normalize_provider_name(spelling) == normalized;
  });
}

}  // namespace

const std::vector<ProviderCatalogEntry>& provider_catalog() {
  static const std::vector<ProviderCatalogEntry> catalog = build_catalog();
  return catalog;
}

std::string normalize_provider_name(std::string_view name) {
  std::string lowered = ascii_lower(trim(name));
  std::string out;
  out.reserve(lowered.size());
  for (char c : lowered) {
    if (c == '-' || c == ' ') c = '_';
    // Collapsing while copying equals repeating "__" -> "_" until none remains.
    if (c == '_' && !out.empty() && out.back() == '_') continue;
    out += c;
  }
  return out;
}

const ProviderCatalogEntry* find_provider_catalog_entry(std::string_view name) {
  const std::string normalized = normalize_provider_name(name);
  for (const ProviderCatalogEntry& entry : provider_catalog()) {
    if (normalized == entry.key || matches_any(entry.aliases, normalized) ||
        matches_any(entry.names, normalized)) {
      return &entry;
    }
  }
  return nullptr;
}

std::string catalog_provider_key(std::string_view name) {
  const ProviderCatalogEntry* entry = find_provider_catalog_entry(name);
  return entry != nullptr ? entry->key : normalize_provider_name(name);
}

bool is_provider_factory(std::string_view name) {
  const std::string key = catalog_provider_key(name);
  return std::find(kFactoryKeys.begin(), kFactoryKeys.end(), key) != kFactoryKeys.end();
}

}  // namespace tessik
