// The parts of agent creation that belong to the message pipeline and discovery: the first
// message's final visible body, its validate-only preflight in a delivery worker, and the
// targeted discovery that refreshes a new session's title.
#pragma once

#include "lifecycle/lifecycle_edges.h"
#include "registry/registry.h"

namespace tessik {

// Lifecycle edges with every function filled: the provider dispatchers, the final visible body
// of the message pipeline, a synchronous "delivery-worker --validate-only" run, and a targeted
// discovery pass over this build's local scans that merges into `registry` and records its
// event in the events log. The functions hold copies of what they need and may outlive the
// call.
LifecycleEdges pipeline_lifecycle_edges(const Registry& registry);

}  // namespace tessik
