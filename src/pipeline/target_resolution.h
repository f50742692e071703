// Target resolution: the free-text target of a send becomes exactly one registry row or a
// reasoned refusal, with at most one targeted discovery per message.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "discovery/discovery_report.h"
#include "pipeline/pipeline_context.h"
#include "registry/agent_record.h"

namespace tessik {

// The exact lookup over `rows`: enabled rows by agent id, then session id, then name key,
// each with a sendable and a non-sendable slot where the freshest row wins; an ambiguous name
// answers nothing; the built-in mailbox answers its own names only when no user row does.
std::optional<AgentRecord> exact_target_lookup(const std::vector<AgentRecord>& rows,
                                               std::string_view target);

// Enabled rows whose display name or an alias has the target's name key, in registry order;
// the built-in mailbox only when it is the sole such row.
std::vector<AgentRecord> target_name_candidates(const std::vector<AgentRecord>& rows,
                                                std::string_view target);

// Whether a resolved row must be repaired by discovery before anything is delivered to it:
// it breaks its normalization contract (the verified binding counts only for sendable rows),
// is a remote row still named by its session id, or is a local Codex row known only from
// workspace evidence. The built-in mailbox never needs repair.
bool target_requires_discovery_repair(const AgentRecord& row);

// Resolves `target` for the message `message_id`. Reads the registry under its lock for each
// lookup and throws the registry's own error when it cannot. On a miss or a row needing repair
// it runs one targeted discovery; an ambiguous name runs none. Decisions other than a plain hit
// are appended to the context's events log. When `report` is given it is reset on a hit and
// otherwise receives the ambiguity notes (put in front of its notes) or the discovery's report.
std::optional<AgentRecord> resolve_target(const PipelineContext& context, std::string_view target,
                                          std::string_view message_id,
                                          DiscoveryReport* report = nullptr);

}  // namespace tessik
