// Discovery merge. Everything that decides a row's fate happens inside one registry
// transaction so that two merges never interleave; the decisions are logged after the lock
// is released, so a slow log never holds the registry.
#include "discovery/discovery_merge.h"

#include <algorithm>
#include <optional>

#include "base/text.h"
#include "registry/name_key.h"
#include "registry/normalization.h"

namespace tessik {
namespace {

constexpr std::int64_t kMergeTimeoutNs = 30'000'000'000;

std::string folded(std::string_view text) {
  return ascii_lower(trim(text));
}

struct Decision {
  std::string provider_session_id;
  std::string evidence;
  std::string matched_fields;
  std::string trust_level;
  std::string action;
  std::string reason;
  bool sendable = false;
  std::string source;
};

struct Counters {
  std::uint32_t enrolled = 0;
  std::uint32_t updated = 0;
  std::uint32_t skipped = 0;
  std::uint32_t evidence_only_matches = 0;
};

struct MergeState {
  std::vector<Decision> decisions;
  std::vector<std::string> notes;
  Counters counters;
  std::string now;
};

std::string join(const std::vector<std::string>& parts, std::string_view separator) {
  std::string out;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) out += separator;
    out += parts[i];
  }
  return out;
}

Decision decision_for(const DiscoveredCandidate& candidate, std::string matched, std::string trust,
                      std::string action, std::string reason) {
  return {trim(candidate.provider_session_id),
          join(candidate.evidence, "|"),
          std::move(matched),
          std::move(trust),
          std::move(action),
          std::move(reason),
          candidate.sendable,
          trim(candidate.source)};
}

bool is_local(std::string_view node) {
  return folded(node) == "local";
}

bool is_manual(const AgentRecord& row) {
  return folded(row.source) == "manual";
}

// The display name a candidate may give a row; placeholders never replace a real name.
std::optional<std::string> usable_name(const DiscoveredCandidate& candidate) {
  if (is_placeholder_display_name(candidate.display_name)) return std::nullopt;
  return trim(candidate.display_name);
}

// The name itself, its lower-case form and its lower-case form with blanks as '-'.
void add_derived_aliases(AgentRecord& row, const std::string& name) {
  std::string dashed = ascii_lower(name);
  std::replace(dashed.begin(), dashed.end(), ' ', '-');
  for (const std::string& alias : {name, ascii_lower(name), dashed}) {
    if (trim(alias).empty() || alias == row.display_name) continue;
    if (std::find(row.aliases.begin(), row.aliases.end(), alias) == row.aliases.end()) {
      row.aliases.push_back(alias);
    }
  }
}

bool same_identity(const AgentRecord& row, const DiscoveredCandidate& candidate) {
  return canonical_provider_key(row.provider) == canonical_provider_key(candidate.provider) &&
         folded(row.provider_session_id) == folded(candidate.provider_session_id) &&
         folded(row.node_id) == folded(candidate.node_id);
}

// A remote node's row created before the node reported a session id stores the agent's name
// where the session id belongs.
bool is_stale_remote_name_row(const AgentRecord& row, const DiscoveredCandidate& candidate) {
  if (is_local(candidate.node_id) || folded(row.node_id) != folded(candidate.node_id)) {
    return false;
  }
  if (is_manual(row)) return false;
  const std::string name = target_name_key(row.display_name);
  return !name.empty() && target_name_key(row.provider_session_id) == name &&
         target_name_key(candidate.display_name) == name;
}

AgentRecord enrolled_row(const DiscoveredCandidate& candidate, const std::string& now) {
  AgentRecord row;
  row.provider = trim(candidate.provider);
  row.provider_session_id = trim(candidate.provider_session_id);
  row.node_id = trim(candidate.node_id);
  row.agent_id = row.provider + ":" + row.node_id + ":" + row.provider_session_id;
  row.display_name = usable_name(candidate).value_or(row.provider_session_id);
  add_derived_aliases(row, row.display_name);
  row.enabled = true;
  row.sendable = true;
  row.source = trim(candidate.source);
  row.last_error = trim(candidate.error);
  row.delivery_verification_source = "discovery_enrollment_proof:" + trim(candidate.source);
  row.first_seen_at = now;
  row.last_seen_at = trim(candidate.last_seen).empty() ? now : trim(candidate.last_seen);
  row.last_verified_at = now;
  return row;
}

void update_row(AgentRecord& row, const DiscoveredCandidate& candidate, const std::string& now,
                bool repair_identity) {
  if (repair_identity) {
    row.provider_session_id = trim(candidate.provider_session_id);
    row.public_agent_id.clear();  // derived from the session id, which just changed
  }
  if (const auto name = usable_name(candidate)) {
    row.display_name = *name;
    add_derived_aliases(row, *name);
  }
  row.sendable = true;
  row.source = trim(candidate.source);
  row.last_error.clear();
  row.delivery_verification_source = "discovery_enrollment_proof:" + trim(candidate.source);
  row.last_seen_at = trim(candidate.last_seen).empty() ? now : trim(candidate.last_seen);
  row.last_verified_at = now;
}

bool remove_stale_rows(std::vector<AgentRecord>& rows, const DiscoveryReport& report,
                       MergeState& state) {
  std::vector<std::string> live_sessions;
  for (const DiscoveredCandidate& candidate : report.discovered) {
    if (candidate.sendable) live_sessions.push_back(folded(candidate.provider_session_id));
  }
  const auto own_source = [&](const AgentRecord& row) {
    return std::any_of(report.sources.begin(), report.sources.end(),
                       [&](const std::string& s) { return folded(s) == folded(row.source); });
  };
  std::vector<std::string> removed;
  std::erase_if(rows, [&](const AgentRecord& row) {
    const bool stale =
        folded(row.provider) == folded(report.provider) &&
        folded(row.node_id) == folded(report.node_id) && !is_manual(row) && own_source(row) &&
        std::find(live_sessions.begin(), live_sessions.end(), folded(row.provider_session_id)) ==
            live_sessions.end();
    if (stale) {
      removed.push_back(row.agent_id);
      state.decisions.push_back({trim(row.provider_session_id), "", "provider+node+source", "none",
                                 "remove_stale", "complete scan no longer found this session",
                                 false, trim(row.source)});
    }
    return stale;
  });
  if (removed.empty()) return false;
  state.notes.push_back("removed stale auto-discovered " + std::to_string(removed.size()) +
                        " registry rows: " + join(removed, ", "));
  return true;
}

// Applies one candidate; returns true when a row changed.
bool apply_candidate(std::vector<AgentRecord>& rows, const DiscoveredCandidate& candidate,
                     MergeState& state) {
  if (trim(candidate.display_name).empty() || trim(candidate.provider).empty() ||
      trim(candidate.provider_session_id).empty() || trim(candidate.node_id).empty()) {
    ++state.counters.skipped;
    state.decisions.push_back(
        decision_for(candidate, "", "none", "skip", "missing required identity fields"));
    return false;
  }
  std::string matched = "provider+node+provider_session_id";
  auto row = std::find_if(rows.begin(), rows.end(),
                          [&](const AgentRecord& r) { return same_identity(r, candidate); });
  if (row == rows.end()) {
    matched = "remote_stale_name_row";
    row = std::find_if(rows.begin(), rows.end(), [&](const AgentRecord& r) {
      return is_stale_remote_name_row(r, candidate);
    });
  }
  const bool codex_evidence = is_local_codex_evidence_only(candidate);
  if (row == rows.end()) {
    if (!candidate.sendable) {
      state.decisions.push_back(decision_for(candidate, "", "evidence_only", "skip",
                                             codex_evidence
                                                 ? "local Codex evidence-only source"
                                                 : "discovery row did not prove sendability"));
      return false;
    }
    rows.push_back(enrolled_row(candidate, state.now));
    ++state.counters.enrolled;
    state.decisions.push_back(
        decision_for(candidate, "", "discovery_proof", "enroll", "new sendable target"));
    return true;
  }
  if (is_manual(*row)) {
    row->last_seen_at = trim(candidate.last_seen).empty() ? state.now : trim(candidate.last_seen);
    state.decisions.push_back(decision_for(candidate, matched, "manual", "enrich_manual",
                                           "manual row protected from discovery downgrade"));
    return true;
  }
  if (candidate.sendable) {
    const bool repair = matched == "remote_stale_name_row";
    update_row(*row, candidate, state.now, repair);
    ++state.counters.updated;
    state.decisions.push_back(decision_for(
        candidate, matched, "discovery_proof", "update",
        repair ? "repaired stale remote name row" : "matched existing target identity"));
    return true;
  }
  row->sendable = false;
  if (codex_evidence) {
    row->last_error = "local Codex row is evidence-only and not a valid delivery target";
    ++state.counters.evidence_only_matches;
    state.decisions.push_back(decision_for(candidate, matched, "evidence_only", "update_evidence",
                                           "matched existing local Codex evidence-only row"));
    return true;
  }
  row->source = trim(candidate.source);
  row->last_error = trim(candidate.error).empty()
                        ? "latest discovery did not prove this target is sendable"
                        : trim(candidate.error);
  state.decisions.push_back(decision_for(candidate, matched, "unproven", "downgrade",
                                         "latest discovery did not prove sendability"));
  return true;
}

void log_decisions(const EvidenceLog& log, const std::vector<Decision>& decisions) {
  for (const Decision& d : decisions) {
    log.append("discovery_enrollment_decision", {{"provider_session_id", d.provider_session_id},
                                                 {"evidence", d.evidence},
                                                 {"matched_fields", d.matched_fields},
                                                 {"trust_level", d.trust_level},
                                                 {"action", d.action},
                                                 {"reason", d.reason},
                                                 {"sendable", d.sendable ? "true" : "false"},
                                                 {"source", d.source}});
  }
}

}  // namespace

bool is_local_codex_evidence_only(const DiscoveredCandidate& candidate) {
  return canonical_provider_key(candidate.provider) == "codex" && is_local(candidate.node_id) &&
         !is_candidate_sendable(candidate);
}

bool is_candidate_sendable(const DiscoveredCandidate& candidate) {
  const bool local_codex =
      canonical_provider_key(candidate.provider) == "codex" && is_local(candidate.node_id);
  return candidate.sendable_claim && folded(candidate.status) != "archived" &&
         trim(candidate.error).empty() &&
         (local_codex ? candidate.codex_desktop_proof : candidate.second_proof);
}

bool is_placeholder_display_name(std::string_view name) {
  if (trim(name).empty() || !is_valid_utf8(name)) return true;
  const std::string lowered = folded(name);
  return lowered == "new chat" || lowered == "untitled" || lowered == "unknown";
}

DiscoveryReport merge_discovered_agents_into_registry(DiscoveryReport report,
                                                      const Registry& registry,
                                                      const EvidenceLog* log) {
  for (DiscoveredCandidate& candidate : report.discovered) {
    candidate.sendable = is_candidate_sendable(candidate);
  }
  MergeState state;
  state.now = utc_timestamp_now();
  const RegistryMutation mutation = [&](std::vector<AgentRecord>& rows,
                                        const RegistrySnapshotMetadata&) {
    state.decisions.clear();
    state.notes.clear();
    state.counters = {};
    bool changed = false;
    if (!report.provider_filter && report.complete) {
      changed = remove_stale_rows(rows, report, state);
    }
    for (const DiscoveredCandidate& candidate : report.discovered) {
      changed = apply_candidate(rows, candidate, state) || changed;
    }
    return changed;
  };
  RegistryMutationOptions options;
  options.deadline = RegistryDeadline::after(kMergeTimeoutNs);
  const RegistryMutationResult result = mutate_registry(registry.path(), mutation, options);
  if (result.status != RegistryStatus::committed && result.status != RegistryStatus::unchanged) {
    throw registry_error("discovery registry transaction", result.status, result.error);
  }
  report.rows_found = static_cast<std::uint32_t>(report.discovered.size());
  report.enrolled = state.counters.enrolled;
  report.updated = state.counters.updated;
  report.skipped = state.counters.skipped;
  report.evidence_only_matches = state.counters.evidence_only_matches;
  report.issues = static_cast<std::uint32_t>(report.scan_issues.size());
  report.notes.insert(report.notes.end(), state.notes.begin(), state.notes.end());
  if (log != nullptr) log_decisions(*log, state.decisions);
  return report;
}

}  // namespace tessik
