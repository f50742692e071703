// Renaming an agent: the provider renames its own session through the rename edge, then the
// registry row is brought in line with what the provider confirmed.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "lifecycle/lifecycle_edges.h"
#include "providers/provider_edge_types.h"
#include "registry/agent_record.h"
#include "registry/registry.h"

namespace tessik {

// Registry deadline of the update after a provider accepted a rename: 30 seconds.
inline constexpr std::int64_t kRenameRegistryTimeoutNs = 30'000'000'000;

// The outcome of one rename. `error` is empty exactly when the workflow succeeded; a rename the
// provider accepted but could not prove succeeds with `verified` clear.
struct RenameAgentWorkflowResult {
  AgentRecord target;  // the row as given
  RenameRequest request;
  RenameResult edge;              // what the rename edge answered (empty when never called)
  std::string old_registry_name;  // the target's display name, trimmed
  bool verified = false;
  std::optional<AgentRecord> updated;  // the row as written, when the registry was updated
  std::string error;

  bool ok() const { return error.empty(); }
};

// Checks the target's provider identity and the new name (failures stop before the provider
// is contacted and write nothing), calls `rename_edge`, updates the registry row in one
// transaction and records each stage in `logs.lifecycle` ("rename_requested", "rename_failed",
// "rename_registry_update_failed", "rename_verified", "rename_unverified") and
// "rename_registry_updated" in `logs.events`. Expected failures are results; exceptions from
// the edge and from the logs propagate.
RenameAgentWorkflowResult rename_agent_workflow(
    const RenameRequest& request, const Registry& registry, const LifecycleLogs& logs,
    const std::function<RenameResult(const RenameRequest&)>& rename_edge =
        rename_provider_session);

}  // namespace tessik
