// Sender resolution: turns the free-text sender of a message (agent id, display name, alias
// or provider session id) into a registered display name, or recognises it as unregistered.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "registry/agent_record.h"
#include "registry/registry.h"

namespace tessik {

struct SenderResolution {
  bool resolved = false;
  std::string sender;             // registered display name, or the explicit text
  std::string sender_session_id;  // matched row's provider session id (trimmed)
  std::string node_id;            // matched row's node id, else the requested node
  std::string source;             // outcome word, e.g. "registry_session"
  std::string reason;             // outcome message
  std::optional<AgentRecord> record;
};

// Resolves `explicit_sender` on `node` (blank node means "local"). Loads the registry, so it
// throws RegistryError when the registry cannot be read.
SenderResolution resolve_sender(const Registry& registry, std::string_view explicit_sender,
                                std::string_view node);

// The best enabled row on `node` matching `explicit_text` by agent id, then session, then
// name; nothing when only ambiguous name matches exist. Throws RegistryError like load_registry.
std::optional<AgentRecord> find_sender_record(const Registry& registry, std::string_view node,
                                              std::string_view explicit_text);

// The same selection over rows already loaded (no I/O), for callers holding a snapshot.
std::optional<AgentRecord> find_sender_record_in(const std::vector<AgentRecord>& rows,
                                                 std::string_view node,
                                                 std::string_view explicit_text);

// UUID text form, contains ":session:", or starts with a known session prefix.
bool looks_like_provider_session_id(std::string_view text);
// The text after the first session marker found (markers tried in fixed order), trimmed.
std::string session_tail(std::string_view text);

bool matches_sender_session(const AgentRecord& record, std::string_view text);
bool matches_sender_agent_id(const AgentRecord& record, std::string_view text);
bool matches_sender_name(const AgentRecord& record, std::string_view text);
bool display_name_is_session_fallback(const AgentRecord& record);

}  // namespace tessik
