// Creation support from the pipeline side: the same body builder and worker that every send
// uses, so a first message is checked exactly like any other message.
#include "pipeline/create_support.h"

#include "base/text.h"
#include "discovery/discovery_merge.h"
#include "discovery/targeted_discovery.h"
#include "pipeline/delivery_handoff.h"
#include "pipeline/delivery_request.h"
#include "pipeline/final_visible_body.h"
#include "state/state_dir.h"

namespace tessik {
namespace {

InitialBody build_body(const CreateRequest& request, const SenderResolution& sender) {
  FinalBodyContext context;
  context.body = request.initial_message;
  context.sender = sender;
  context.target_display_name = trim(request.requested_name);
  context.test_id = request.request_id;
  context.message_id = request.request_id;
  const FinalBody body = build_final_visible_body(context);
  return {body.final_visible_body, body.body_policy, body.original_body_bytes,
          body.final_visible_body_bytes};
}

DeliveryResult validate_in_worker(const DeliveryRequest& request) {
  return run_delivery_worker(request, kDeliveryModeValidate);
}

TitleRefresh refresh_from_discovery(const Registry& registry, const AgentRecord& row) {
  DiscoveryReport report;
  discover_target_after_registry_miss(report, row.provider_session_id, registry,
                                      nodes_registry_path(), EvidenceLog(events_log_path()));
  TitleRefresh refresh;
  refresh.rows_found = report.rows_found;
  refresh.updated = report.updated;
  refresh.enrolled = report.enrolled;
  refresh.skipped = report.skipped;
  refresh.issues = report.issues;
  for (const DiscoveredCandidate& candidate : report.discovered) {
    if (trim(candidate.provider_session_id) == trim(row.provider_session_id) &&
        !is_placeholder_display_name(candidate.display_name)) {
      refresh.provider_title = trim(candidate.display_name);
    }
  }
  return refresh;
}

}  // namespace

LifecycleEdges pipeline_lifecycle_edges(const Registry& registry) {
  LifecycleEdges edges;
  edges.build_initial_body = build_body;
  edges.validate_body = validate_in_worker;
  edges.refresh_title = [registry](const AgentRecord& row) {
    return refresh_from_discovery(registry, row);
  };
  return edges;
}

}  // namespace tessik
