// The rename workflow. The provider is asked first; the registry follows what it confirmed,
// more cautiously when it could not prove the new title.
#include "lifecycle/rename_workflow.h"

#include <algorithm>

#include "base/text.h"
#include "registry/normalization.h"
#include "registry/sender_resolution.h"

namespace tessik {
namespace {

constexpr char kUnverifiedReason[] = "rename accepted but provider title was not verified";

// The base fields every rename lifecycle record starts with, in their fixed order.
EvidenceFields rename_fields(const RenameAgentWorkflowResult& result) {
  const AgentRecord& target = result.target;
  const RenameResult& edge = result.edge;
  return {{"provider", trim(target.provider)},
          {"node_id", trim(target.node_id)},
          {"provider_session_id", trim(target.provider_session_id)},
          {"old_registry_name", trim(target.display_name)},
          {"requested_new_name", trim(result.request.requested_name)},
          {"accepted", edge.accepted ? "true" : "false"},
          {"method_used", trim(edge.method)},
          {"state", trim(edge.state)},
          {"verification_state", trim(edge.verification_state)},
          {"verified_provider_title", trim(edge.provider_title)},
          {"registry_display_name", trim(edge.registry_display_name)},
          {"evidence", trim(edge.evidence)},
          {"error", trim(edge.error)}};
}

void record(const LifecycleLogs& logs, const RenameAgentWorkflowResult& result,
            std::string_view event, EvidenceFields extra = {}) {
  EvidenceFields fields = rename_fields(result);
  fields.insert(fields.end(), extra.begin(), extra.end());
  logs.lifecycle.append(event, fields);
}

bool same_session(const AgentRecord& row, const AgentRecord& target) {
  return canonical_provider_key(row.provider) == canonical_provider_key(target.provider) &&
         trim(row.provider_session_id) == trim(target.provider_session_id) &&
         ascii_lower(trim(row.node_id)) == ascii_lower(trim(target.node_id));
}

// The row the rename applies to: the target's own session first, else the first row that
// answers to the target's display name.
AgentRecord* find_target_row(std::vector<AgentRecord>& rows, const AgentRecord& target) {
  for (AgentRecord& row : rows) {
    if (same_session(row, target)) return &row;
  }
  const std::string name = trim(target.display_name);
  if (name.empty()) return nullptr;
  for (AgentRecord& row : rows) {
    if (matches_sender_name(row, name)) return &row;
  }
  return nullptr;
}

void add_alias(AgentRecord& row, const std::string& alias) {
  if (alias.empty()) return;
  if (std::find(row.aliases.begin(), row.aliases.end(), alias) == row.aliases.end()) {
    row.aliases.push_back(alias);
  }
}

void apply_rename(AgentRecord& row, const RenameAgentWorkflowResult& result) {
  add_alias(row, trim(row.display_name));
  add_alias(row, trim(result.request.requested_name));
  const std::string now = utc_timestamp_now();
  if (result.verified) {
    row.display_name = trim(result.edge.provider_title);
    row.source = trim(result.edge.method);
    row.last_error.clear();
    row.last_verified_at = now;
  } else {
    row.last_error = trim(result.edge.error);
    if (row.last_error.empty()) row.last_error = kUnverifiedReason;
  }
  row.last_seen_at = now;
  row.enabled = true;
  row.sendable = true;
  normalize_agent_record(row);
}

}  // namespace

RenameAgentWorkflowResult rename_agent_workflow(
    const RenameRequest& request, const Registry& registry, const LifecycleLogs& logs,
    const std::function<RenameResult(const RenameRequest&)>& rename_edge) {
  RenameAgentWorkflowResult result;
  result.target = request.target;
  result.request = request;
  result.old_registry_name = trim(request.target.display_name);
  if (trim(request.target.provider).empty() || trim(request.target.provider_session_id).empty()) {
    result.error = "rename target is missing provider identity";
    return result;
  }
  if (trim(request.requested_name).empty()) {
    result.error = "rename requires a non-empty name";
    return result;
  }
  record(logs, result, "rename_requested");

  result.edge = rename_edge(request);
  if (!result.edge.accepted) {
    // A refusal without words is still a refusal: callers judge by the error alone.
    result.error = result.edge.error.empty() ? "provider did not accept the rename (state " +
                                                   result.edge.state + ")"
                                             : result.edge.error;
    record(logs, result, "rename_failed");
    return result;
  }
  result.verified =
      result.edge.verification_state == "verified" && !trim(result.edge.provider_title).empty();

  bool found = false;
  const RegistryMutationResult update = mutate_registry(
      registry.path(),
      [&](std::vector<AgentRecord>& rows, const RegistrySnapshotMetadata&) {
        AgentRecord* row = find_target_row(rows, request.target);
        if (row == nullptr) return false;
        found = true;
        apply_rename(*row, result);
        result.updated = *row;
        return true;
      },
      {RegistryDeadline::after(kRenameRegistryTimeoutNs), std::nullopt});
  if (update.status != RegistryStatus::committed && update.status != RegistryStatus::unchanged) {
    result.updated.reset();
    result.error = "provider accepted rename but the registry update failed: " +
                   registry_status_word(update.status);
    if (!update.error.empty()) result.error += ": " + update.error;
  } else if (!found) {
    result.error = "provider accepted rename but the registry row was not found";
  }
  if (!result.error.empty()) {
    record(logs, result, "rename_registry_update_failed", {{"reason", result.error}});
    return result;
  }

  const std::string display_name = result.updated->display_name;
  const RenameResult& edge = result.edge;
  logs.events.append("rename_registry_updated",
                     {{"provider", trim(request.target.provider)},
                      {"provider_session_id", trim(request.target.provider_session_id)},
                      {"node_id", trim(request.target.node_id)},
                      {"old_registry_name", result.old_registry_name},
                      {"requested_new_name", trim(request.requested_name)},
                      {"verified_provider_title", trim(edge.provider_title)},
                      {"verification_state", trim(edge.verification_state)},
                      {"registry_display_name", display_name},
                      {"evidence", trim(edge.evidence)},
                      {"error", trim(edge.error)}});
  record(logs, result, result.verified ? "rename_verified" : "rename_unverified",
         {{"registry_display_name", display_name}});
  return result;
}

}  // namespace tessik
