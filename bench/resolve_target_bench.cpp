// resolve_target against a 10,000-agent registry: hits by agent id and by name, and a miss
// (which adds the targeted discovery pass and its events). Each iteration includes the locked
// registry read.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "pipeline/target_resolution.h"
#include "registry/registry.h"
#include "state/state_dir.h"

namespace {

namespace fs = std::filesystem;
constexpr int kAgents = 10'000;

// A private state directory holding a registry of kAgents ready rows, made once per process.
const tessik::PipelineContext& context() {
  static const tessik::PipelineContext built = [] {
    std::string pattern = (fs::temp_directory_path() / "tessik-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    ::setenv("LOCALAPPDATA", pattern.c_str(), 1);
    std::vector<tessik::AgentRecord> rows;
    rows.reserve(kAgents);
    for (int i = 0; i < kAgents; ++i) {
      tessik::AgentRecord row;
      row.agent_id = "agent-" + std::to_string(i);
      row.display_name = "Worker " + std::to_string(i);
      row.aliases = {"worker-" + std::to_string(i)};
      row.provider = i % 2 ? "claude_code_cli" : "codex_cli";
      row.provider_session_id = "session-" + std::to_string(i);
      row.node_id = "local";
      row.sendable = true;
      row.source = "bench";
      row.delivery_verification_source = "bench_proof";
      row.last_seen_at = "2026-01-01T00:00:00Z";
      rows.push_back(std::move(row));
    }
    const fs::path path = tessik::agents_registry_path();
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << tessik::render_registry(rows);
    return tessik::default_pipeline_context();
  }();
  return built;
}

void resolve(benchmark::State& state, const std::string& target, bool expect_hit) {
  const tessik::PipelineContext& ctx = context();
  for (auto _ : state) {
    const auto found = tessik::resolve_target(ctx, target, "0123456789abcdef0123456789abcdef");
    if (found.has_value() != expect_hit) state.SkipWithError("unexpected resolution result");
    benchmark::DoNotOptimize(found);
  }
}

void BM_ResolveHitByAgentId(benchmark::State& state) {
  resolve(state, "agent-7777", true);
}
void BM_ResolveHitByName(benchmark::State& state) {
  resolve(state, "worker 7777 agent", true);
}
void BM_ResolveMiss(benchmark::State& state) {
  resolve(state, "nobody-here", false);
}

// The lookup alone over rows already in memory, to separate it from the registry read.
void BM_ExactLookupInMemory(benchmark::State& state) {
  const std::vector<tessik::AgentRecord> rows = tessik::load_registry(context().registry);
  for (auto _ : state) {
    benchmark::DoNotOptimize(tessik::exact_target_lookup(rows, "worker 7777 agent"));
  }
}

// The locked registry read alone, the floor under every resolution.
void BM_LoadRegistry(benchmark::State& state) {
  const tessik::PipelineContext& ctx = context();
  for (auto _ : state) {
    benchmark::DoNotOptimize(tessik::load_registry(ctx.registry));
  }
}

BENCHMARK(BM_ExactLookupInMemory)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadRegistry)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ResolveHitByAgentId)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ResolveHitByName)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ResolveMiss)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
