// What the create and rename workflows reach outside themselves: the provider edges, the
// message pipeline's body checks, discovery, and the two logs they write. Tests replace any
// of these to drive every stage without a real assistant.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "lifecycle/provider_edges.h"
#include "registry/agent_record.h"
#include "registry/sender_resolution.h"
#include "state/evidence_log.h"

namespace tessik {

// The first message of a new session as the target will see it.
struct InitialBody {
  std::string text;
  std::string policy;  // body policy word, e.g. "resolved_sender_envelope"
  std::uint64_t original_bytes = 0;
  std::uint64_t final_bytes = 0;
};

// What a targeted discovery of a newly created session found.
struct TitleRefresh {
  std::uint32_t rows_found = 0;
  std::uint32_t updated = 0;
  std::uint32_t enrolled = 0;
  std::uint32_t skipped = 0;
  std::uint32_t issues = 0;
  std::string provider_title;  // the session's title as the provider shows it; empty if unknown
};

// The operations the workflows call out to. The three provider edges default to the
// dispatchers; the other three belong to layers above this one (the message pipeline and
// discovery, see pipeline/create_support.h) and have no default: a workflow that reaches one
// of them while it is empty throws std::logic_error. Copies share nothing mutable.
struct LifecycleEdges {
  std::function<CreateResult(const CreateRequest&)> create = create_provider_session;
  std::function<RenameResult(const RenameRequest&)> rename = rename_provider_session;
  std::function<DeliveryResult(const DeliveryRequest&)> deliver = deliver_to_provider;

  // The final visible body of an initial message for providers other than Claude Code CLI,
  // with the request id as test id and message id.
  std::function<InitialBody(const CreateRequest&, const SenderResolution&)> build_initial_body;
  // A synchronous validate-only run of the delivery worker on the request's body.
  std::function<DeliveryResult(const DeliveryRequest&)> validate_body;
  // A targeted discovery of the session of `row`, merged into the registry.
  std::function<TitleRefresh(const AgentRecord& row)> refresh_title;
};

// The creation lifecycle log ("create-lifecycle.jsonl", which also takes the rename records)
// and the events log.
struct LifecycleLogs {
  EvidenceLog lifecycle;
  EvidenceLog events;
};

// The two logs of the current state directory. Throws StateDirectoryError when it cannot be
// resolved.
LifecycleLogs default_lifecycle_logs();

}  // namespace tessik
