// One row of the agent registry.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tessik {

// An agent: an assistant session, the built-in mailbox, a remote or an external agent.
// Plain value; the registry file's column order differs from the declaration order.
struct AgentRecord {
  std::string agent_id;  // registry key, unique by convention
  std::string display_name;
  std::vector<std::string> aliases;
  std::string provider;             // canonical provider key after normalization
  std::string provider_session_id;  // the provider's own id of the session
  std::string public_agent_id;      // stable id shown to A2A clients
  std::string normalization_schema;
  std::string provider_surface;
  std::string delivery_binding;
  std::string response_identity_binding;
  bool delivery_binding_verified = false;
  std::string delivery_verification_source;
  std::string normalization_provenance;
  std::int32_t normalization_confidence = 0;
  std::string normalization_conflict_state;
  std::string node_id;  // "local" for this machine
  bool enabled = true;
  bool sendable = false;
  std::string source;  // "builtin_tessik_mailbox", "manual", discovery sources, ...
  std::string first_seen_at;
  std::string last_seen_at;
  std::string last_verified_at;
  std::string last_error;

  bool operator==(const AgentRecord&) const = default;
};

inline constexpr char kMailboxSessionId[] = "tessik_mailbox:default";
inline constexpr char kMailboxAgentId[] = "tessik-mailbox-local-default";
inline constexpr char kMailboxProvider[] = "tessik_mailbox";

// The built-in mailbox row that every snapshot lacking it gets appended.
AgentRecord builtin_mailbox_record();

// True for the built-in mailbox row (recognised by its provider session id).
bool is_builtin_mailbox(const AgentRecord& record);

}  // namespace tessik
