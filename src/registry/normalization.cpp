// Provider canonicalization, derived normalization fields, the public id digest, the
// readiness check, and the gateway's three row notions built on them.
#include "registry/normalization.h"

#include <array>
#include <utility>

#include "base/sha256.h"
#include "base/text.h"

namespace tessik {
namespace {

constexpr std::string_view kEdgeKeyPrefix = "tessik.provider-edge.v1:";
constexpr std::string_view kSessionKeyPrefix = "tessik.provider-session.v1:";
constexpr std::string_view kPublicIdDomain = "tessik.normalized-agent.public-id.v1";
constexpr std::string_view kPublicIdPrefix = "tessik-agent-";

bool is_blank(std::string_view text) {
  return trim_view(text).empty();
}

// Whether `binding` (trimmed) is the edge key of `canonical_key`, without building the key.
bool is_edge_key_of(std::string_view binding, std::string_view canonical_key) {
  const std::string_view value = trim_view(binding);
  if (!is_known_provider(canonical_key)) return value.empty();
  return value.size() == kEdgeKeyPrefix.size() + canonical_key.size() &&
         value.starts_with(kEdgeKeyPrefix) && value.ends_with(canonical_key);
}
std::string lower_trim(std::string_view text) {
  return ascii_lower(trim(text));
}

bool surface_is_unknown(std::string_view surface) {
  const std::string value = lower_trim(surface);
  return value.empty() || value == "unknown";
}

}  // namespace

std::string canonical_provider_key(std::string_view provider) {
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 10> kAliases{{
      {"vscode-native", "vscode_native"},
      {"codex-cli", "codex_cli"},
      {"vscode-copilot", "vscode_copilot_backed"},
      {"copilot-cli", "copilot_cli"},
      {"claude-code-cli", "claude_code_cli"},
      {"opencode-cli", "opencode_cli"},
      {"opencode", "opencode_cli"},
      {"antigravity-cli", "antigravity_cli"},
      {"agy", "antigravity_cli"},
      {"cursor-cli", "cursor_cli"},
  }};
  std::string key = lower_trim(provider);
  for (const auto& [alias, canonical] : kAliases) {
    if (key == alias) return std::string(canonical);
  }
  return key;
}

bool is_known_provider(std::string_view canonical_key) {
  static constexpr std::array<std::string_view, 13> kKnown{
      "codex",           "codex_cli", "vscode_native", "vscode_copilot_backed", "antigravity",
      "antigravity_cli", "cursor",    "cursor_cli",    "claude_code_cli",       "copilot_cli",
      "opencode_cli",    "a2a",       "remote"};
  for (std::string_view known : kKnown) {
    if (canonical_key == known) return true;
  }
  return false;
}

std::string provider_surface_for(std::string_view key) {
  if (key.empty()) return {};
  if (key == "codex_cli" || key == "antigravity_cli" || key == "cursor_cli" ||
      key == "claude_code_cli" || key == "copilot_cli" || key == "opencode_cli") {
    return "command_line";
  }
  if (key == "vscode_native" || key == "vscode_copilot_backed" || key == "cursor") return "editor";
  if (key == "codex" || key == "antigravity") return "agent_window";
  if (key == "a2a" || key == "remote") return "network";
  return "unknown";
}

std::string provider_edge_key(std::string_view canonical_key) {
  if (!is_known_provider(canonical_key)) return {};
  return std::string(kEdgeKeyPrefix) + std::string(canonical_key);
}

std::string provider_session_key(std::string_view canonical_key) {
  if (canonical_key.empty()) return {};
  return std::string(kSessionKeyPrefix) + std::string(canonical_key);
}

std::string public_agent_id_for(const AgentRecord& record) {
  const std::string provider = canonical_provider_key(record.provider);
  const std::string surface = provider_surface_for(provider);
  const std::string node = lower_trim(record.node_id);
  const std::string session = trim(record.provider_session_id);
  if (provider.empty() || surface.empty() || node.empty() || session.empty()) return {};
  std::string material(kPublicIdDomain);
  for (const std::string* part : {&provider, &surface, &node, &session}) {
    material.push_back('\n');
    material += *part;
  }
  return std::string(kPublicIdPrefix) + sha256_hex(material).substr(0, 32);
}

void normalize_agent_record(AgentRecord& r) {
  const bool legacy = is_blank(r.normalization_schema);
  r.provider = canonical_provider_key(r.provider);
  if (legacy) r.normalization_schema = kNormalizedAgentSchema;
  if (surface_is_unknown(r.provider_surface)) r.provider_surface = provider_surface_for(r.provider);
  if (is_blank(r.public_agent_id)) r.public_agent_id = public_agent_id_for(r);
  if (is_blank(r.delivery_binding)) r.delivery_binding = provider_edge_key(r.provider);
  if (is_blank(r.response_identity_binding)) {
    r.response_identity_binding = provider_session_key(r.provider);
  }
  if (is_blank(r.delivery_verification_source) && legacy && r.sendable && is_blank(r.last_error) &&
      !is_blank(r.provider_session_id)) {
    r.delivery_verification_source = "legacy_registry_sendable_state";
  }
  if (is_blank(r.normalization_provenance)) {
    const std::string source = trim(r.source);
    r.normalization_provenance = "source=" + (source.empty() ? std::string("unknown") : source);
  }
  if (r.normalization_confidence <= 0) {
    if (lower_trim(r.source) == "manual") {
      r.normalization_confidence = 100;
    } else if (!is_blank(r.delivery_verification_source)) {
      r.normalization_confidence = 90;
    } else {
      r.normalization_confidence = r.sendable ? 60 : 20;
    }
  }
  if (is_blank(r.normalization_conflict_state)) r.normalization_conflict_state = "none";
  r.delivery_binding_verified =
      r.sendable && is_blank(r.last_error) && !is_blank(r.provider_session_id) &&
      !is_blank(r.delivery_verification_source) && is_edge_key_of(r.delivery_binding, r.provider);
}

NormalizationCheck check_normalized_agent(const AgentRecord& record) {
  AgentRecord r = record;
  normalize_agent_record(r);
  NormalizationCheck check;
  auto test = [&](bool passed, bool& flag, std::string issue) {
    flag = passed;
    if (!passed) check.issues.push_back(std::move(issue));
  };
  test(trim(r.normalization_schema) == kNormalizedAgentSchema, check.schema_valid,
       "normalization_schema_invalid");
  test(!is_blank(r.agent_id) && !is_blank(r.public_agent_id) && !is_blank(r.provider) &&
           !is_blank(r.provider_session_id) && !is_blank(r.node_id),
       check.identity_complete, "identity_fields_incomplete");
  test(!surface_is_unknown(r.provider_surface), check.provider_surface_known,
       "provider_surface_unknown");
  const std::string edge_key = provider_edge_key(r.provider);
  test(!edge_key.empty() && trim(r.delivery_binding) == edge_key &&
           trim(r.response_identity_binding) == provider_session_key(r.provider),
       check.delivery_binding_valid, "delivery_binding_invalid");
  test(r.delivery_binding_verified, check.delivery_binding_verified, "delivery_binding_unverified");
  const std::string conflict = trim(r.normalization_conflict_state);
  const std::string conflict_lower = ascii_lower(conflict);
  test(conflict_lower.empty() || conflict_lower == "none", check.conflict_free,
       "normalization_conflict:" + conflict);
  check.ready = check.schema_valid && check.identity_complete && check.provider_surface_known &&
                check.delivery_binding_valid && check.delivery_binding_verified &&
                check.conflict_free && r.enabled && r.sendable && is_blank(r.last_error);
  return check;
}

bool is_normalized_agent_ready(const AgentRecord& record) {
  return check_normalized_agent(record).ready;
}

std::string format_normalization_issues(const NormalizationCheck& check) {
  if (check.issues.empty()) return "none";
  std::string out;
  for (const std::string& issue : check.issues) {
    if (!out.empty()) out.push_back(',');
    out += issue;
  }
  return out;
}

bool is_agent_deliverable(const AgentRecord& record) {
  return is_builtin_mailbox(record) || is_normalized_agent_ready(record);
}

bool is_agent_a2a_exposed(const AgentRecord& record) {
  return record.enabled && !is_blank(record.agent_id) && !is_blank(record.public_agent_id) &&
         !is_blank(record.provider) && !is_blank(record.provider_session_id) &&
         !is_blank(record.node_id);
}

bool is_agent_export_eligible(const AgentRecord& record) {
  return is_agent_a2a_exposed(record) && record.sendable;
}

}  // namespace tessik
