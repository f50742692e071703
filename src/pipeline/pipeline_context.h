// What the message pipeline is built with: the registry, the events log, the node registry
// path and the discovery scans that targeted passes run.
#pragma once

#include <filesystem>

#include "discovery/targeted_discovery.h"
#include "registry/registry.h"
#include "state/evidence_log.h"

namespace tessik {

// Plain value; cheap to copy. `discovery_scans` may be null, meaning the build's local scans.
struct PipelineContext {
  Registry registry;
  EvidenceLog events;
  std::filesystem::path nodes_registry_path;
  const DiscoveryScanList* discovery_scans = nullptr;

  const DiscoveryScanList& scans() const {
    return discovery_scans != nullptr ? *discovery_scans : local_discovery_scans();
  }
};

// The context of the current state directory: agents.tsv, logs/events.jsonl, nodes.tsv.
// Throws StateDirectoryError when the state directory cannot be resolved.
PipelineContext default_pipeline_context();

}  // namespace tessik
