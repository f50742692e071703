// What the message pipeline is built with: the registry, the events log, the node registry
// path and the discovery scans that targeted passes run.
#pragma once

#include <filesystem>
#include <functional>

#include "discovery/targeted_discovery.h"
#include "registry/registry.h"
#include "state/evidence_log.h"

namespace tessik {

struct SendRequest;
struct SendOutcome;
struct SenderResolution;

// Called once for every message the pipeline accepted, after its hand-off, with the request,
// the outcome and the sender the message went out as. Layers above the pipeline hang on it
// what an accepted message sets off beyond delivery (a reply completes the task it answers).
// Runs on the sending thread; its exceptions propagate to the caller of send_message.
using AcceptedSendObserver =
    std::function<void(const SendRequest&, const SendOutcome&, const SenderResolution&)>;

// Plain value; cheap to copy. `discovery_scans` may be null, meaning the build's local scans.
struct PipelineContext {
  Registry registry;
  EvidenceLog events;
  std::filesystem::path nodes_registry_path;
  const DiscoveryScanList* discovery_scans = nullptr;
  AcceptedSendObserver after_accepted = nullptr;  // empty: nothing beyond delivery

  const DiscoveryScanList& scans() const {
    return discovery_scans != nullptr ? *discovery_scans : local_discovery_scans();
  }
};

// The context of the current state directory: agents.tsv, logs/events.jsonl, nodes.tsv.
// Throws StateDirectoryError when the state directory cannot be resolved.
PipelineContext default_pipeline_context();

}  // namespace tessik
