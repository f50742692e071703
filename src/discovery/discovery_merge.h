// Merging a discovery report into the agent registry: enrol, update, protect manual rows,
// downgrade, and remove stale auto-discovered rows after a complete scan.
#pragma once

#include <string_view>

#include "discovery/discovery_report.h"
#include "registry/registry.h"
#include "state/evidence_log.h"

namespace tessik {

// Sendable claim, not archived, no error text, and the second proof (the desktop proof for
// local Codex candidates).
bool is_candidate_sendable(const DiscoveredCandidate& candidate);

// A local Codex candidate whose evidence does not make it a delivery target.
bool is_local_codex_evidence_only(const DiscoveredCandidate& candidate);

// Blank, not well-formed UTF-8, or "new chat", "untitled", "unknown" in any letter case.
bool is_placeholder_display_name(std::string_view name);

// One registry transaction (30 s deadline) applying `report`; returns the report with the
// counters and each candidate's `sendable` verdict filled. With `log`, one
// "discovery_enrollment_decision" event per decision is appended after the transaction.
// Throws RegistryError ("discovery registry transaction failed: <status>[: <detail>]") when
// the transaction neither commits nor finds nothing to change; nothing is merged then.
DiscoveryReport merge_discovered_agents_into_registry(DiscoveryReport report,
                                                      const Registry& registry,
                                                      const EvidenceLog* log = nullptr);

}  // namespace tessik
