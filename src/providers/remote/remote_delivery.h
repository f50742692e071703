// The send and rename edges of provider "remote": agents that live on other nodes of this
// system, reached over the transports their node row configures.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "providers/provider_edge_types.h"
#include "providers/remote/remote_plan.h"
#include "providers/remote/remote_transports.h"
#include "state/evidence_log.h"

namespace tessik {

// The source context under which upstream messages of a node enter the local pipeline. A
// delivery with this context is never sent back to that same node.
std::string remote_upstream_source_context(std::string_view node_id);

// The row of `node_id` in the state directory's node registry. Throws RegistryError when the
// file exists but cannot be read.
std::optional<NodeRecord> find_remote_node(std::string_view node_id);

using RemoteTransportRunner = std::function<RemoteAttempt(RemoteTransport, const RemoteCall&)>;

// Tries the plan's transports in order with `run`, recording one "remote_transport_attempt"
// event per attempt in `events`. The next transport runs only when the configured transport
// is "api" and the failed attempt said nothing could have reached the remote agent; stopping
// with transports left adds the attempt summaries to the evidence. The evidence starts with
// the node, the configured transport and the plan.
DeliveryResult deliver_over_plan(const RemoteCall& call, const RemoteTransportPlan& plan,
                                 const RemoteTransportRunner& run, const EvidenceLog& events);

// The send edge: checks the target row and its node (from the node registry of the state
// directory), plans, and delivers over the real transports. Failures are results; throws
// only when the node registry or the delivery log cannot be used.
DeliveryResult deliver_to_remote_node(const DeliveryRequest& request);

// The rename edge: runs "tessik rename --agent <remote name> --name <new name>" on the
// target's node over SSH. Exit code 0 is a verified rename.
RenameResult rename_remote_agent(const RenameRequest& request);

}  // namespace tessik
