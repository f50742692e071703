// Target resolution. An exact id always beats a name and a shared name is refused rather than
// guessed, because a message delivered to the wrong assistant cannot be taken back.
#include "pipeline/target_resolution.h"

#include <array>

#include "base/text.h"
#include "registry/name_key.h"
#include "registry/normalization.h"
#include "registry/normalization_contract.h"
#include "registry/registry.h"
#include "registry/sender_resolution.h"

namespace tessik {
namespace {

enum Slot : std::size_t {
  kIdSendable,
  kIdOther,
  kSessionSendable,
  kSessionOther,
  kNameSendable,
  kNameOther,
  kSlotCount
};

std::string_view freshness_key(const AgentRecord& row, std::string& storage) {
  storage = trim(row.last_seen_at);
  if (storage.empty()) storage = trim(row.last_verified_at);
  if (storage.empty()) storage = trim(row.first_seen_at);
  return storage;
}

// Whether `challenger` replaces `holder` in a slot.
bool fresher(const AgentRecord& challenger, const AgentRecord& holder) {
  std::string a_storage, b_storage;
  const std::string_view a = freshness_key(challenger, a_storage);
  const std::string_view b = freshness_key(holder, b_storage);
  if (a.empty() != b.empty()) return !a.empty();
  if (a != b) return a > b;
  return challenger.agent_id > holder.agent_id;
}

bool matches_session(const AgentRecord& row, std::string_view target) {
  if (target == trim(row.provider_session_id)) return true;
  // Every session marker contains a colon; most ids have none, so skip the marker search.
  if (row.provider_session_id.find(':') != std::string::npos) {
    const std::string tail = session_tail(row.provider_session_id);
    if (!tail.empty() && target == tail) return true;
  }
  for (const std::string& alias : row.aliases) {
    if (target == trim(alias) && looks_like_provider_session_id(alias)) return true;
  }
  return false;
}

bool matches_name(const AgentRecord& row, const std::string& key) {
  if (key.empty()) return false;
  if (target_name_key(row.display_name) == key) return true;
  for (const std::string& alias : row.aliases) {
    if (target_name_key(alias) == key) return true;
  }
  return false;
}

bool names_builtin_mailbox(std::string_view target) {
  const std::string trimmed = trim(target);
  const std::string lowered = ascii_lower(trimmed);
  return target_name_key(target) == target_name_key("Tessik Mailbox") || lowered == "mailbox" ||
         lowered == "tessik-mailbox" || lowered == "tessik_mailbox" || trimmed == kMailboxSessionId;
}

void reset_report(DiscoveryReport* report) {
  if (report != nullptr) *report = DiscoveryReport{};
}

std::string join_session_ids(const std::vector<AgentRecord>& rows) {
  std::string joined;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (i > 0) joined += ", ";
    joined += rows[i].provider_session_id;
  }
  return joined;
}

}  // namespace

std::optional<AgentRecord> exact_target_lookup(const std::vector<AgentRecord>& rows,
                                               std::string_view target) {
  const std::string wanted = trim(target);
  if (wanted.empty()) return std::nullopt;
  const std::string key = target_name_key(wanted);
  std::array<const AgentRecord*, kSlotCount> slots{};
  std::size_t name_only_matches = 0;
  // The built-in mailbox answers to a name only when no user row does: a user who names an
  // agent "mailbox" means that agent.
  const AgentRecord* mailbox_by_name = nullptr;
  for (const AgentRecord& row : rows) {
    if (!row.enabled) continue;
    std::size_t slot;
    if (wanted == trim(row.agent_id)) {
      slot = kIdSendable;
    } else if (matches_session(row, wanted)) {
      slot = kSessionSendable;
    } else if (matches_name(row, key)) {
      if (is_builtin_mailbox(row)) {
        mailbox_by_name = &row;
        continue;
      }
      slot = kNameSendable;
      ++name_only_matches;
    } else {
      continue;
    }
    if (!row.sendable) ++slot;
    if (slots[slot] == nullptr || fresher(row, *slots[slot])) slots[slot] = &row;
  }
  for (std::size_t slot : {kIdSendable, kIdOther, kSessionSendable, kSessionOther}) {
    if (slots[slot] != nullptr) return *slots[slot];
  }
  if (name_only_matches > 1) return std::nullopt;
  for (std::size_t slot : {kNameSendable, kNameOther}) {
    if (slots[slot] != nullptr) return *slots[slot];
  }
  if (mailbox_by_name != nullptr) return *mailbox_by_name;
  if (names_builtin_mailbox(wanted)) {
    AgentRecord mailbox = builtin_mailbox_record();
    normalize_agent_record(mailbox);  // as every row read from the registry
    return mailbox;
  }
  return std::nullopt;
}

std::vector<AgentRecord> target_name_candidates(const std::vector<AgentRecord>& rows,
                                                std::string_view target) {
  const std::string key = target_name_key(target);
  std::vector<AgentRecord> candidates;
  std::optional<AgentRecord> mailbox;
  for (const AgentRecord& row : rows) {
    if (!row.enabled || !matches_name(row, key)) continue;
    if (is_builtin_mailbox(row)) {
      mailbox = row;
    } else {
      candidates.push_back(row);
    }
  }
  // As in the exact lookup, the built-in mailbox yields its names to user rows.
  if (candidates.empty() && mailbox) candidates.push_back(std::move(*mailbox));
  return candidates;
}

bool target_requires_discovery_repair(const AgentRecord& row) {
  if (is_builtin_mailbox(row)) return false;
  // A row that is not sendable can never have a verified binding; it is answered as it is so
  // that the pipeline can refuse it as known but not sendable, with its last error.
  NormalizationCheck check = check_normalized_agent(row);
  if (!row.sendable) check.delivery_binding_verified = true;
  if (!normalization_contract_holds(check)) return true;
  const std::string provider = ascii_lower(trim(row.provider));
  const std::string source = ascii_lower(trim(row.source));
  if (provider == "remote" && source != "manual" &&
      target_name_key(row.provider_session_id) == target_name_key(row.display_name)) {
    return true;
  }
  return provider == "codex" && ascii_lower(trim(row.node_id)) == "local" &&
         (source == "codex_active_workspace_vscode_thread" ||
          source == "codex_active_codex_sqlite_thread_without_desktop_state");
}

std::optional<AgentRecord> resolve_target(const PipelineContext& context, std::string_view target,
                                          std::string_view message_id, DiscoveryReport* report) {
  const EvidenceLog& log = context.events;
  std::vector<AgentRecord> rows = load_registry(context.registry);
  std::optional<AgentRecord> found = exact_target_lookup(rows, target);
  if (found && !target_requires_discovery_repair(*found)) {
    reset_report(report);
    return found;
  }

  std::string reason = "target_requires_discovery_repair";
  std::string event = "registry_target_requires_repair";
  if (!found) {
    const std::vector<AgentRecord> candidates = target_name_candidates(rows, target);
    if (candidates.size() >= 2) {
      const std::string session_ids = join_session_ids(candidates);
      if (report != nullptr) {
        report->mode = "registry";
        report->scope = "local";
        report->query = std::string(target);
        report->notes.insert(
            report->notes.begin(),
            {"Target name is ambiguous.", "Use one exact provider session id: " + session_ids});
      }
      log.append("registry_target_ambiguous",
                 {{"message_id", std::string(message_id)},
                  {"target", std::string(target)},
                  {"candidate_count", std::to_string(candidates.size())},
                  {"candidate_session_ids", session_ids},
                  {"action", "fail_without_discovery"}});
      return std::nullopt;
    }
    reason = "not_found";
    event = "registry_target_miss";
  }

  log.append(event, {{"message_id", std::string(message_id)},
                     {"target", std::string(target)},
                     {"action", "targeted_discovery_once"},
                     {"reason", reason}});
  // The first snapshot is stale once discovery has run; free it before the pass reads the
  // registry again, so a large registry is not held twice.
  std::vector<AgentRecord>().swap(rows);
  DiscoveryReport discovery;
  discover_target_after_registry_miss(discovery, target, context.registry,
                                      context.nodes_registry_path, log, context.scans());
  if (report != nullptr) *report = std::move(discovery);

  rows = load_registry(context.registry);
  found = exact_target_lookup(rows, target);
  if (!found) return std::nullopt;
  if (target_requires_discovery_repair(*found)) {
    log.append("registry_target_still_requires_repair",
               {{"message_id", std::string(message_id)},
                {"target", found->display_name},
                {"provider", found->provider},
                {"node_id", found->node_id},
                {"provider_session_id", found->provider_session_id}});
    return std::nullopt;
  }
  log.append("registry_target_found_after_targeted_discovery",
             {{"message_id", std::string(message_id)},
              {"target", found->display_name},
              {"provider", found->provider},
              {"node_id", found->node_id}});
  return found;
}

}  // namespace tessik
