// Sender matching with its tie-breaks: agent id beats session beats name, sendable beats not,
// newer beats older; ambiguous name matches give nothing.
#include "registry/sender_resolution.h"

#include <array>

#include "base/random.h"
#include "base/text.h"

namespace tessik {
namespace {

constexpr std::array<std::string_view, 7> kSessionMarkers{":session:",
                                                          "antigravity_cli:conversation:",
                                                          "antigravity-cli:conversation:",
                                                          "antigravity:cascade:",
                                                          "antigravity:conversation:",
                                                          "cursor:composer:",
                                                          "cursor:session:"};

constexpr std::array<std::string_view, 7> kSessionPrefixes{"antigravity_cli:conversation:",
                                                           "antigravity-cli:conversation:",
                                                           "antigravity:cascade:",
                                                           "antigravity:conversation:",
                                                           "cursor:composer:",
                                                           "cursor:session:",
                                                           "codex-thread:"};

std::string recency_key(const AgentRecord& record) {
  for (const std::string* field :
       {&record.last_seen_at, &record.last_verified_at, &record.first_seen_at}) {
    std::string key = trim(*field);
    if (!key.empty()) return key;
  }
  return {};
}

bool is_newer(const AgentRecord& candidate, const AgentRecord& current) {
  const std::string a = recency_key(candidate);
  const std::string b = recency_key(current);
  if (a != b) return b.empty() || (!a.empty() && a > b);
  return candidate.agent_id > current.agent_id;
}

// One match class: the best sendable row and the best other row.
struct Slots {
  std::optional<AgentRecord> sendable;
  std::optional<AgentRecord> other;

  void offer(const AgentRecord& row) {
    std::optional<AgentRecord>& slot = row.sendable ? sendable : other;
    if (!slot || is_newer(row, *slot)) slot = row;
  }
};

SenderResolution outcome(std::string source, std::string reason, bool resolved) {
  SenderResolution result;
  result.source = std::move(source);
  result.reason = std::move(reason);
  result.resolved = resolved;
  return result;
}

}  // namespace

bool looks_like_provider_session_id(std::string_view text) {
  const std::string value = ascii_lower(trim(text));
  if (is_uuid_text(value)) return true;
  if (value.find(":session:") != std::string::npos) return true;
  for (std::string_view prefix : kSessionPrefixes) {
    if (value.starts_with(prefix)) return true;
  }
  return false;
}

std::string session_tail(std::string_view text) {
  const std::string trimmed = trim(text);
  const std::string lowered = ascii_lower(trimmed);
  for (std::string_view marker : kSessionMarkers) {
    const std::size_t at = lowered.find(marker);
    if (at != std::string::npos) return trim(std::string_view(trimmed).substr(at + marker.size()));
  }
  return {};
}

bool matches_sender_agent_id(const AgentRecord& record, std::string_view text) {
  const std::string wanted = trim(text);
  return !wanted.empty() && wanted == trim(record.agent_id);
}

bool matches_sender_session(const AgentRecord& record, std::string_view text) {
  const std::string wanted = trim(text);
  if (wanted.empty()) return false;
  if (wanted == trim(record.provider_session_id)) return true;
  if (wanted == session_tail(record.provider_session_id)) return true;
  for (const std::string& alias : record.aliases) {
    if (wanted == trim(alias) && looks_like_provider_session_id(alias)) return true;
  }
  return false;
}

bool matches_sender_name(const AgentRecord& record, std::string_view text) {
  const std::string wanted = ascii_lower(trim(text));
  if (wanted.empty()) return false;
  if (wanted == ascii_lower(trim(record.display_name))) return true;
  for (const std::string& alias : record.aliases) {
    if (wanted == ascii_lower(trim(alias))) return true;
  }
  return false;
}

bool display_name_is_session_fallback(const AgentRecord& record) {
  const std::string name = trim(record.display_name);
  if (name.empty() || !looks_like_provider_session_id(name)) return false;
  return name == trim(record.provider_session_id) ||
         name == session_tail(record.provider_session_id);
}

std::optional<AgentRecord> find_sender_record_in(const std::vector<AgentRecord>& rows,
                                                 std::string_view node,
                                                 std::string_view explicit_text) {
  const std::string wanted_node = trim(node);
  Slots by_id, by_session, by_name;
  int name_matches = 0;
  for (const AgentRecord& row : rows) {
    if (!row.enabled || trim(row.node_id) != wanted_node) continue;
    if (matches_sender_agent_id(row, explicit_text)) {
      by_id.offer(row);
    } else if (matches_sender_session(row, explicit_text)) {
      by_session.offer(row);
    } else if (matches_sender_name(row, explicit_text)) {
      by_name.offer(row);
      ++name_matches;
    }
  }
  for (std::optional<AgentRecord>* slot :
       {&by_id.sendable, &by_id.other, &by_session.sendable, &by_session.other}) {
    if (*slot) return std::move(**slot);
  }
  if (name_matches > 1) return std::nullopt;
  if (by_name.sendable) return std::move(by_name.sendable);
  return std::move(by_name.other);
}

std::optional<AgentRecord> find_sender_record(const Registry& registry, std::string_view node,
                                              std::string_view explicit_text) {
  return find_sender_record_in(load_registry(registry), node, explicit_text);
}

SenderResolution resolve_sender(const Registry& registry, std::string_view explicit_sender,
                                std::string_view node) {
  const std::string wanted = trim(explicit_sender);
  std::string requested_node = trim(node);
  if (requested_node.empty()) requested_node = "local";
  if (wanted.empty()) {
    SenderResolution result = outcome("missing_explicit_agent", "explicit sender was empty", false);
    result.node_id = requested_node;
    return result;
  }
  std::optional<AgentRecord> row = find_sender_record(registry, requested_node, wanted);
  if (!row) {
    SenderResolution result =
        looks_like_provider_session_id(wanted)
            ? outcome("unresolved_sender_session",
                      "sender session id did not match a registered Tessik sender", false)
            : outcome("explicit_agent", "explicit sender was provided", true);
    result.sender = wanted;
    result.node_id = requested_node;
    return result;
  }
  const std::string name = trim(row->display_name);
  if (name.empty()) {
    SenderResolution result = outcome("registry_sender_missing_display_name",
                                      "registered sender matched but has no display name", false);
    result.node_id = requested_node;
    return result;
  }
  const bool fallback = display_name_is_session_fallback(*row);
  const bool session_match = matches_sender_session(*row, wanted);
  SenderResolution result;
  if (fallback) {
    result = outcome(session_match ? "registry_session_id_display_fallback"
                                   : "registry_name_session_id_display_fallback",
                     "explicit sender resolved with session id display fallback", true);
  } else if (session_match) {
    result = outcome("registry_session",
                     "explicit sender session resolved to registered display name", true);
  } else {
    result = outcome("registry_name", "explicit sender name resolved through registry", true);
  }
  result.sender = name;
  result.sender_session_id = trim(row->provider_session_id);
  const std::string row_node = trim(row->node_id);
  result.node_id = row_node.empty() ? requested_node : row_node;
  result.record = std::move(row);
  return result;
}

}  // namespace tessik
