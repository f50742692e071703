// Test helper: rewrites the registry forever through mutate_registry, flipping the display
// name of every row between "even" and "odd" on each pass (creating ROWS rows first).
// The parent kills it at random moments to check that no torn registry is ever left.
// Usage: registry_flip_writer REGISTRY_PATH ROWS
#include <cstdio>
#include <cstdlib>
#include <string>

#include "registry/registry.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: registry_flip_writer REGISTRY_PATH ROWS\n", stderr);
    return 2;
  }
  const std::filesystem::path path = argv[1];
  const int wanted = std::atoi(argv[2]);
  for (long pass = 0;; ++pass) {
    const std::string name = pass % 2 == 0 ? "even" : "odd";
    const auto result = tessik::mutate_registry(
        path,
        [&](std::vector<tessik::AgentRecord>& rows, const tessik::RegistrySnapshotMetadata&) {
          while (static_cast<int>(rows.size()) < wanted + 1) {
            tessik::AgentRecord row;
            row.agent_id = "flip-" + std::to_string(rows.size());
            row.provider = "codex";
            row.provider_session_id = row.agent_id + "-session";
            row.node_id = "local";
            rows.push_back(row);
          }
          for (auto& row : rows) {
            if (!tessik::is_builtin_mailbox(row)) row.display_name = name;
          }
          return true;
        },
        tessik::RegistryMutationOptions{tessik::RegistryDeadline::after(10'000'000'000), {}});
    // A pass that finds the file already in that generation (left by an earlier writer) is
    // unchanged; that is fine.
    if (result.status != tessik::RegistryStatus::committed &&
        result.status != tessik::RegistryStatus::unchanged) {
      std::fprintf(stderr, "flip failed: %s\n", result.error.c_str());
      return 1;
    }
    if (pass == 0) {
      std::printf("started\n");
      std::fflush(stdout);
    }
  }
}
