// Normalization of agent rows: canonical provider keys, surfaces, binding keys, the public
// agent id, the defaulting rules and the readiness check; plus the three notions the gateway
// and the pipeline share (deliverable, A2A-exposed, export-eligible).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "registry/agent_record.h"

namespace tessik {

inline constexpr char kNormalizedAgentSchema[] = "tessik.normalized-agent.v1";

// Trimmed, ASCII lower-cased provider name mapped to its canonical key ("codex-cli" ->
// "codex_cli", "agy" -> "antigravity_cli", ...); unknown names pass through lower-cased.
std::string canonical_provider_key(std::string_view provider);
// Whether the canonical key names a provider with a delivery edge (the mailbox is not one).
bool is_known_provider(std::string_view canonical_key);
// "command_line", "editor", "agent_window", "network", "unknown", or empty for an empty key.
std::string provider_surface_for(std::string_view canonical_key);
// "tessik.provider-edge.v1:<key>" for known providers, else empty.
std::string provider_edge_key(std::string_view canonical_key);
// "tessik.provider-session.v1:<key>" for a non-empty key, else empty.
std::string provider_session_key(std::string_view canonical_key);
// "tessik-agent-" + 32 hex digits derived from provider, surface, node and session id; empty
// when any of them is empty. Independent of agent id, display name and stored surface.
std::string public_agent_id_for(const AgentRecord& record);

// Canonicalizes the provider and fills the blank normalization fields; recomputes
// delivery_binding_verified. An existing public id is never recomputed.
void normalize_agent_record(AgentRecord& record);

struct NormalizationCheck {
  bool schema_valid = false;
  bool identity_complete = false;
  bool provider_surface_known = false;
  bool delivery_binding_valid = false;
  bool delivery_binding_verified = false;
  bool conflict_free = false;
  bool ready = false;
  std::vector<std::string> issues;  // issue words, in check order
};

// Checks a normalized copy of `record`; the record itself is not changed.
NormalizationCheck check_normalized_agent(const AgentRecord& record);
bool is_normalized_agent_ready(const AgentRecord& record);
// The issues joined with ",", or "none".
std::string format_normalization_issues(const NormalizationCheck& check);

// Deliverable ("sendable" on cards and at intake): the row passes the readiness check, or it
// is the built-in mailbox row (the system's own endpoint never needs repair).
bool is_agent_deliverable(const AgentRecord& record);

// A2A-exposed: enabled, and agent id, public agent id, provider, provider session id and node
// id are all non-blank. The built-in mailbox passes (its public id is well defined).
bool is_agent_a2a_exposed(const AgentRecord& record);

// Export-eligible: A2A-exposed and the row's own `sendable` flag is set. Rows discovery
// downgraded to not sendable stay visible only through the extended card.
bool is_agent_export_eligible(const AgentRecord& record);

}  // namespace tessik
