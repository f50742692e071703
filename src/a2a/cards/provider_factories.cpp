// The factory list and the provider words of cards and listings.
#include "a2a/cards/provider_factories.h"

#include <array>
#include <utility>

#include "base/text.h"
#include "providers/provider_catalog.h"
#include "providers/provider_tools.h"
#include "registry/normalization.h"

namespace tessik {
namespace {

// Keys are lower-case identifiers already; anything else is folded to '_' so ids stay safe.
std::string id_safe(std::string_view key) {
  std::string out(key);
  for (char& c : out) {
    const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '_' || c == '-';
    if (!safe) c = '_';
  }
  return out;
}

bool has_registered_session(const std::vector<AgentRecord>& agents, std::string_view key) {
  for (const AgentRecord& agent : agents) {
    if (is_agent_export_eligible(agent) && canonical_provider_key(agent.provider) == key &&
        !trim(agent.provider_session_id).empty()) {
      return true;
    }
  }
  return false;
}

}  // namespace

std::string provider_brand(std::string_view provider) {
  static constexpr std::array<std::string_view, 7> kFamilies = {
      "codex", "cursor", "vscode", "copilot", "antigravity", "claude", "opencode"};
  const std::string id = ascii_lower(trim(provider));
  for (std::string_view family : kFamilies) {
    if (id.rfind(family, 0) == 0) return std::string(family);
  }
  return "unknown";
}

std::string provider_surface(std::string_view provider) {
  return provider_surface_for(canonical_provider_key(provider));
}

std::string factory_display_name(std::string_view provider_key) {
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 11> kNames = {{
      {"codex", "Codex Agent Window"},
      {"codex_cli", "Codex CLI"},
      {"vscode_native", "VS Code Native"},
      {"vscode_copilot_backed", "VS Code Copilot"},
      {"antigravity", "Antigravity Agent Window"},
      {"antigravity_cli", "Antigravity CLI"},
      {"cursor", "Cursor Agents"},
      {"cursor_cli", "Cursor Agent CLI"},
      {"claude_code_cli", "Claude Code CLI"},
      {"copilot_cli", "Copilot CLI"},
      {"opencode_cli", "OpenCode CLI"},
  }};
  for (const auto& [key, name] : kNames) {
    if (key == provider_key) return std::string(name);
  }
  return std::string(provider_key);
}

std::vector<ProviderFactory> list_provider_factories(const std::vector<AgentRecord>& agents) {
  std::vector<ProviderFactory> factories;
  for (const ProviderCatalogEntry& entry : provider_catalog()) {
    if (!is_provider_factory(entry.key)) continue;
    ProviderFactory factory;
    factory.id = "tessik.provider." + id_safe(entry.key);
    factory.name = factory_display_name(entry.key);
    factory.provider = entry.key;
    factory.brand = provider_brand(entry.key);
    factory.surface = provider_surface(entry.key);
    factory.create_supported = true;
    const ProviderToolLocation tool = locate_provider_tool(entry.key);
    if (tool.found) {
      factory.detected = true;
      factory.detection_evidence = {tool.evidence};
    } else if (has_registered_session(agents, entry.key)) {
      factory.detected = true;
      factory.detection_evidence = {"registered-provider-session"};
    } else {
      factory.detection_evidence = {"not-detected"};
    }
    factories.push_back(std::move(factory));
  }
  return factories;
}

std::optional<ProviderFactory> find_provider_factory(const std::vector<ProviderFactory>& factories,
                                                     std::string_view id) {
  for (const ProviderFactory& factory : factories) {
    if (factory.id == id) return factory;
  }
  return std::nullopt;
}

}  // namespace tessik
