// Registry speed on a 10,000-agent file: a locked load, and a transaction that changes one
// row (render, write, fsync, rename, directory fsync).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "registry/registry.h"

namespace {

namespace fs = std::filesystem;

constexpr int kAgents = 10'000;

// A private registry file with kAgents rows, removed at exit.
class BenchRegistry {
 public:
  BenchRegistry() {
    char pattern[] = "/tmp/tessik-registry-bench-XXXXXX";
    root_ = ::mkdtemp(pattern);
    path_ = root_ / "registry" / "agents.tsv";
    const auto result = tessik::mutate_registry(
        path_,
        [](std::vector<tessik::AgentRecord>& rows, const tessik::RegistrySnapshotMetadata&) {
          for (int i = 0; i < kAgents; ++i) {
            tessik::AgentRecord row;
            row.agent_id = "agent-" + std::to_string(i);
            row.display_name = "Assistant session number " + std::to_string(i);
            row.aliases = {"alias-" + std::to_string(i)};
            row.provider = i % 2 == 0 ? "codex" : "claude_code_cli";
            row.provider_session_id = "0f8fad5b-d9cb-469f-a165-" + std::to_string(100000000000 + i);
            row.node_id = "local";
            row.sendable = i % 3 != 0;
            row.source = "discovery_scan";
            row.first_seen_at = "2026-01-01T00:00:00Z";
            row.last_seen_at = "2026-06-01T12:00:00Z";
            rows.push_back(std::move(row));
          }
          return true;
        },
        options());
    if (result.status != tessik::RegistryStatus::committed) std::abort();
  }
  ~BenchRegistry() { fs::remove_all(root_); }
  const fs::path& path() const { return path_; }
  static tessik::RegistryMutationOptions options() {
    return tessik::RegistryMutationOptions{tessik::RegistryDeadline::after(60'000'000'000), {}};
  }

 private:
  fs::path root_;
  fs::path path_;
};

BenchRegistry& registry() {
  static BenchRegistry instance;
  return instance;
}

void BM_LoadRegistry(benchmark::State& state) {
  const tessik::Registry handle(registry().path());
  for (auto _ : state) {
    auto rows = tessik::load_registry(handle);
    benchmark::DoNotOptimize(rows.data());
  }
  state.counters["rows"] = static_cast<double>(tessik::load_registry(handle).size());
}
BENCHMARK(BM_LoadRegistry)->Unit(benchmark::kMillisecond);

void BM_MutateOneRow(benchmark::State& state) {
  static long pass = 0;
  for (auto _ : state) {
    const std::string name = "Renamed " + std::to_string(++pass);
    const auto result = tessik::mutate_registry(
        registry().path(),
        [&](std::vector<tessik::AgentRecord>& rows, const tessik::RegistrySnapshotMetadata&) {
          rows[kAgents / 2].display_name = name;
          return true;
        },
        BenchRegistry::options());
    if (result.status != tessik::RegistryStatus::committed) {
      state.SkipWithError(
          (tessik::registry_status_word(result.status) + " " + result.error).c_str());
      break;
    }
  }
}
BENCHMARK(BM_MutateOneRow)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
