// Creating an assistant session through a provider factory: the first message's body and its
// preflight, the create edge, enrollment in the registry, native name verification, the
// initial send and the title refresh, each stage recorded in the creation lifecycle log.
#pragma once

#include <optional>
#include <string>

#include "lifecycle/lifecycle_edges.h"
#include "providers/provider_edge_types.h"
#include "registry/agent_record.h"
#include "registry/registry.h"

namespace tessik {

// Where a creation stopped early. Code 2 is not used.
namespace create_stage {
inline constexpr int kNone = -1;                // ran to the end
inline constexpr int kMissingInput = 0;         // no provider or no name
inline constexpr int kUnresolvedSender = 1;     // an initial message without a known sender
inline constexpr int kBodyInvalid = 3;          // the initial body failed validation
inline constexpr int kProviderRefused = 4;      // the create edge did not accept
inline constexpr int kPendingOperation = 5;     // a background operation finishes the job
inline constexpr int kNoStableSession = 6;      // accepted without a provider session id
inline constexpr int kRenameNotVerified = 7;    // Claude's native name could not be proven
inline constexpr int kSenderLostAfterEnrol = 8; // the initial send found no sender any more
// The session was created but the registry transaction that enrols it failed.
inline constexpr int kEnrollmentFailed = 9;
}  // namespace create_stage

struct CreateWorkflowResult {
  CreateRequest request;  // as run: trimmed provider and name, the request id fixed
  CreateResult result;    // the create edge's answer (empty when never called)
  std::optional<AgentRecord> enrolled;  // the registry row of the new session
  int stage = create_stage::kNone;
  std::string message;  // why it stopped; empty when it ran to the end

  bool stopped() const { return stage != create_stage::kNone; }
};

// Runs the whole creation. Every stop is a result with its stage code and message, and the
// lifecycle log keeps one record per stage reached. Once the provider has accepted, registry
// failures are reported, not thrown, so that a created session is never silently lost.
// Throws for a broken invariant (a pipeline edge missing from `edges`), for a log that cannot
// be written, and for exceptions of the edges before the provider accepted.
CreateWorkflowResult create_agent_workflow(const CreateRequest& request, const Registry& registry,
                                           const LifecycleLogs& logs, const LifecycleEdges& edges);

// One registry transaction that inserts the row of the new session, or updates the row that
// already has this provider and provider session id on node "local". The row when it was
// enrolled; otherwise nothing and `error` says why ("created provider session could not be
// enrolled atomically: ..."). Never throws for registry failures.
std::optional<AgentRecord> enroll_created_agent(const CreateRequest& request,
                                                const CreateResult& result,
                                                const Registry& registry, std::string& error);

// The 64-bit FNV-1a of the initial message's bytes as 16 lower-case hex digits.
std::string first_message_hash(const std::string& initial_message);

// Providers that take no requested name at creation ("vscode_copilot_backed", "cursor").
bool ignores_requested_name(std::string_view provider_key);

}  // namespace tessik
