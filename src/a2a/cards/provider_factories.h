// Provider factories: the assistant products that can open new sessions through the gateway,
// with the words cards and listings use to describe providers.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "registry/agent_record.h"

namespace tessik {

struct ProviderFactory {
  std::string id;        // "tessik.provider.<key>"
  std::string name;      // display name, e.g. "Claude Code CLI"
  std::string provider;  // canonical provider key
  std::string brand;
  std::string surface;
  bool detected = false;
  bool create_supported = false;                // every listed factory can create
  std::vector<std::string> detection_evidence;  // one item
};

// Provider family: "codex", "cursor", "vscode", "copilot", "antigravity", "claude" or
// "opencode" when the trimmed, lower-cased id begins with it (tested in that order), else
// "unknown".
std::string provider_brand(std::string_view provider);
// The surface word of a provider name ("command_line", "editor", ...), via its canonical key.
std::string provider_surface(std::string_view provider);
// The factory display name of a canonical provider key; unknown keys are their own name.
std::string factory_display_name(std::string_view provider_key);

// The factories in catalog order, each able to create (a message to its scope starts a create
// task). A factory is detected when its tool is found on this machine or `agents` holds an
// export-eligible session of its provider; the evidence is the locator's text, else
// "registered-provider-session", else "not-detected". A factory that is not detected is still
// listed and creatable: its create task says why the creation failed.
std::vector<ProviderFactory> list_provider_factories(const std::vector<AgentRecord>& agents);

// The factory with exactly this id.
std::optional<ProviderFactory> find_provider_factory(const std::vector<ProviderFactory>& factories,
                                                     std::string_view id);

}  // namespace tessik
