// Enrollment of a created session: one registry transaction that adds its row, or refreshes
// the row a previous creation of the same session left.
#include <algorithm>

#include "base/fnv1a.h"
#include "base/text.h"
#include "lifecycle/create_workflow.h"
#include "providers/provider_catalog.h"
#include "registry/normalization.h"

namespace tessik {
namespace {

constexpr std::int64_t kEnrollmentTimeoutNs = 30'000'000'000;

// The name the row gets: what the adapter proposed, else what the user asked for, else the
// provider's own title, else the session id (so the row is never nameless).
std::string enrolled_name(const CreateRequest& request, const CreateResult& result,
                          const std::string& session) {
  for (const std::string* candidate :
       {&result.registry_display_name, &request.requested_name, &result.provider_title}) {
    std::string name = trim(*candidate);
    if (!name.empty()) return name;
  }
  return session;
}

void add_alias(AgentRecord& row, const std::string& alias) {
  if (alias.empty() || alias == row.display_name) return;
  if (std::find(row.aliases.begin(), row.aliases.end(), alias) == row.aliases.end()) {
    row.aliases.push_back(alias);
  }
}

// Fields a creation sets on a new row and on a row it refreshes alike.
void mark_created(AgentRecord& row, const CreateResult& result, const std::string& name,
                  const std::string& now) {
  const std::string method = trim(result.method).empty() ? "provider_create" : trim(result.method);
  add_alias(row, trim(row.display_name));
  row.display_name = name;
  row.enabled = true;
  row.sendable = true;
  row.source = method;
  row.delivery_verification_source = "provider_create_proof:" + method;
  row.last_seen_at = now;
  row.last_verified_at = now;
  row.last_error.clear();
  normalize_agent_record(row);
}

}  // namespace

std::optional<AgentRecord> enroll_created_agent(const CreateRequest& request,
                                                const CreateResult& result,
                                                const Registry& registry, std::string& error) {
  error.clear();
  const std::string session = trim(result.provider_session_id);
  if (session.empty()) {
    error = "provider accepted create but did not return a stable provider session id";
    return std::nullopt;
  }
  const std::string provider =
      catalog_provider_key(trim(result.provider).empty() ? request.provider : result.provider);
  const std::string name = enrolled_name(request, result, session);
  std::optional<AgentRecord> enrolled;
  const RegistryMutationResult transaction = mutate_registry(
      registry.path(),
      [&](std::vector<AgentRecord>& rows, const RegistrySnapshotMetadata&) {
        const std::string now = utc_timestamp_now();
        const auto same = std::find_if(rows.begin(), rows.end(), [&](const AgentRecord& row) {
          return canonical_provider_key(row.provider) == canonical_provider_key(provider) &&
                 trim(row.provider_session_id) == session &&
                 ascii_lower(trim(row.node_id)) == "local";
        });
        if (same != rows.end()) {
          mark_created(*same, result, name, now);
          enrolled = *same;
          return true;
        }
        AgentRecord row;
        row.agent_id = provider + ":local:" + session;
        row.provider = provider;
        row.provider_session_id = session;
        row.node_id = "local";
        row.first_seen_at = now;
        row.display_name = name;
        mark_created(row, result, name, now);
        rows.push_back(row);
        enrolled = std::move(row);
        return true;
      },
      {RegistryDeadline::after(kEnrollmentTimeoutNs), std::nullopt});
  if (transaction.status == RegistryStatus::committed ||
      transaction.status == RegistryStatus::unchanged) {
    return enrolled;
  }
  error = "created provider session could not be enrolled atomically: " +
          registry_status_word(transaction.status);
  if (!transaction.error.empty()) error += ": " + transaction.error;
  return std::nullopt;
}

std::string first_message_hash(const std::string& initial_message) {
  return fnv1a_64_hex(initial_message);
}

bool ignores_requested_name(std::string_view provider_key) {
  return provider_key == "vscode_copilot_backed" || provider_key == "cursor";
}

}  // namespace tessik
