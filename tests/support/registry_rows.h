// Registry rows for tests: rows that pass the delivery contract, and writing a whole file.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "registry/agent_record.h"

namespace tessik::test {

// An enabled, sendable local row whose normalization contract holds (verified binding).
AgentRecord ready_row(const std::string& agent_id, const std::string& display_name,
                      const std::string& provider, const std::string& session_id);

// Replaces the agents file at `path` with exactly `rows` (the mailbox row is added on read).
void write_registry(const std::filesystem::path& path, const std::vector<AgentRecord>& rows);

// The rows of the agents file at `path`, read without the lock.
std::vector<AgentRecord> registry_rows(const std::filesystem::path& path);

}  // namespace tessik::test
