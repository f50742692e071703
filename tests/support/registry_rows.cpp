// Registry rows for tests.
#include "support/registry_rows.h"

#include <fstream>

#include "registry/registry.h"

namespace tessik::test {

AgentRecord ready_row(const std::string& agent_id, const std::string& display_name,
                      const std::string& provider, const std::string& session_id) {
  AgentRecord row;
  row.agent_id = agent_id;
  row.display_name = display_name;
  row.provider = provider;
  row.provider_session_id = session_id;
  row.node_id = "local";
  row.enabled = true;
  row.sendable = true;
  row.source = "test_seed";
  row.delivery_verification_source = "test_seed_proof";
  row.first_seen_at = "2026-01-01T00:00:00Z";
  row.last_seen_at = "2026-01-01T00:00:00Z";
  return row;
}

void write_registry(const std::filesystem::path& path, const std::vector<AgentRecord>& rows) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << render_registry(rows);
}

std::vector<AgentRecord> registry_rows(const std::filesystem::path& path) {
  return read_registry_snapshot(path).rows;
}

}  // namespace tessik::test
