// ListTasks and GetTask over a large task log: 100,000 tasks in 200,000 lines (tasks with
// one, two and three records), owned by four clients, in a temporary state directory. Most
// cases measure the warm index; BM_ListTasksFirstAfterStart includes building it.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "a2a/gateway/route_handlers.h"
#include "a2a/tasks/log_scan/task_index.h"
#include "a2a/tasks/task_json.h"
#include "a2a/tasks/log_scan/task_line_scan.h"
#include "a2a/tasks/task_log.h"
#include "a2a/tasks/task_queries.h"
#include "base/text.h"
#include "registry/registry.h"
#include "state/evidence_log.h"
#include "support/task_fixtures.h"

namespace tessik {
namespace {

constexpr int kTasks = 100'000;

// Builds the log once per process; the directory is removed at exit. The path is never
// destroyed, so the exit handler can still read it after static destruction began.
const std::filesystem::path& bench_log() {
  static const std::filesystem::path* const path = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "tessik-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    const auto* log = new std::filesystem::path(std::filesystem::path(pattern) / "tasks.jsonl");
    test::write_bulk_task_log(*log, kTasks);
    return log;
  }();
  static const bool cleanup_registered =
      std::atexit([] { std::filesystem::remove_all(bench_log().parent_path()); }) == 0;
  (void)cleanup_registered;
  return *path;
}

Principal bench_principal(bool admin) {
  Principal principal;
  principal.authenticated = true;
  principal.client_id = "client-1";
  principal.sender_agent = "agent-1";
  principal.scopes = {admin ? "task.admin" : "task.read"};
  return principal;
}

void run_list(benchmark::State& state, bool admin, TaskListParams params) {
  GatewayContext context;
  context.tasks_path = bench_log();
  const Principal principal = bench_principal(admin);
  std::size_t bytes = 0;
  for (auto _ : state) {
    const TaskOperationResult result = list_tasks(context, principal, params, "1.0");
    if (!result.ok()) state.SkipWithError(result.error->message.c_str());
    bytes = result.body.size();
    benchmark::DoNotOptimize(bytes);
  }
  state.counters["log_MB"] = static_cast<double>(std::filesystem::file_size(bench_log())) / 1e6;
  state.counters["page_bytes"] = static_cast<double>(bytes);
}

// Every task visible: the whole log is sorted for the first page.
void BM_ListTasksFirstPageAdmin(benchmark::State& state) {
  run_list(state, true, {});
}
BENCHMARK(BM_ListTasksFirstPageAdmin)->Unit(benchmark::kMillisecond);

// A client that owns a quarter of the tasks.
void BM_ListTasksFirstPageOneClient(benchmark::State& state) {
  run_list(state, false, {});
}
BENCHMARK(BM_ListTasksFirstPageOneClient)->Unit(benchmark::kMillisecond);

// A later page, found through its token, with a status filter.
void BM_ListTasksFilteredPageWithToken(benchmark::State& state) {
  TaskListParams params;
  params.status = "completed";
  params.page_token = test::bulk_task(50'000, 0).id;
  run_list(state, true, params);
}
BENCHMARK(BM_ListTasksFilteredPageWithToken)->Unit(benchmark::kMillisecond);

// The same first page as a client gets it: a JSON-RPC "ListTasks" call through the binding,
// envelope checks and scope check included.
void BM_ListTasksThroughJsonRpc(benchmark::State& state) {
  GatewayContext context;
  context.tasks_path = bench_log();
  context.require_auth = true;
  const Principal principal = bench_principal(false);
  GatewayRequest request;
  request.method = "POST";
  request.target = "/rpc";
  request.headers = {{"A2A-Version", "1.0"}};
  request.body = R"({"jsonrpc":"2.0","id":1,"method":"ListTasks","params":{"pageSize":50}})";
  Registry registry(bench_log().parent_path() / "agents.tsv");
  const EvidenceLog evidence(bench_log().parent_path() / "events.jsonl");
  const GatewayCall call{request,      principal,   context, registry,
                         evidence,     {},          "post",  compute_effective_path(request.target),
                         std::nullopt, std::nullopt};
  for (auto _ : state) {
    const GatewayResponse response = handle_json_rpc(call);
    if (response.body.find("\"result\"") == std::string::npos) {
      state.SkipWithError(response.body.c_str());
    }
    benchmark::DoNotOptimize(response.body.data());
  }
}
BENCHMARK(BM_ListTasksThroughJsonRpc)->Unit(benchmark::kMillisecond);

void BM_GetTask(benchmark::State& state) {
  GatewayContext context;
  context.tasks_path = bench_log();
  const Principal principal = bench_principal(true);
  const std::string id = test::bulk_task(77'777, 0).id;
  for (auto _ : state) {
    const TaskOperationResult result = get_task(context, principal, id, std::nullopt, "1.0");
    if (!result.ok()) state.SkipWithError(result.error->message.c_str());
    benchmark::DoNotOptimize(result.body.data());
  }
}
BENCHMARK(BM_GetTask)->Unit(benchmark::kMicrosecond);

// The first list after a start: the log's index is built from nothing, then the page is
// rendered. Each round lists through another name of the same file, and the process keeps
// fewer indexes than there are names, so no round finds its index warm.
void BM_ListTasksFirstAfterStart(benchmark::State& state) {
  constexpr int kNames = 6;
  std::vector<std::filesystem::path> names;
  for (int i = 0; i < kNames; ++i) {
    names.push_back(bench_log().parent_path() / ("name-" + std::to_string(i) + ".jsonl"));
    std::error_code ignored;
    std::filesystem::create_hard_link(bench_log(), names.back(), ignored);
  }
  const Principal principal = bench_principal(false);
  int round = 0;
  for (auto _ : state) {
    GatewayContext context;
    context.tasks_path = names[round++ % kNames];
    const TaskOperationResult result = list_tasks(context, principal, {}, "1.0");
    if (!result.ok()) state.SkipWithError(result.error->message.c_str());
    benchmark::DoNotOptimize(result.body.data());
  }
}
BENCHMARK(BM_ListTasksFirstAfterStart)->Unit(benchmark::kMillisecond);

std::size_t resident_bytes() {
  std::ifstream statm("/proc/self/statm");
  std::size_t pages = 0;
  std::size_t resident = 0;
  statm >> pages >> resident;
  return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

// What one indexed task costs: the index's own count of its bytes, and the growth of the
// process's resident memory while the index of the 100,000-task log is built and kept.
void BM_TaskIndexMemory(benchmark::State& state) {
  double counted = 0;
  double resident = 0;
  std::size_t tasks = 0;
  for (auto _ : state) {
    const std::size_t before = resident_bytes();
    TaskLogIndex index(bench_log());
    index.refresh();
    resident = static_cast<double>(resident_bytes()) - static_cast<double>(before);
    counted = static_cast<double>(index.memory_bytes());
    tasks = index.task_count();
    benchmark::DoNotOptimize(tasks);
  }
  state.counters["tasks"] = static_cast<double>(tasks);
  state.counters["index_bytes_per_task"] = counted / static_cast<double>(tasks);
  state.counters["rss_delta_bytes_per_task"] = resident / static_cast<double>(tasks);
  state.counters["entry_bytes"] = static_cast<double>(TaskLogIndex::entry_bytes());
}
BENCHMARK(BM_TaskIndexMemory)->Unit(benchmark::kMillisecond)->Iterations(1);

// The per-line cost on its own: one stored line, scanned from cache.
void BM_ScanTaskLine(benchmark::State& state) {
  const std::string line = task_to_json_v1(test::bulk_task(12'345, 1));
  TaskLineSummary summary;
  for (auto _ : state) {
    benchmark::DoNotOptimize(scan_task_line_into(line, summary));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * line.size()));
}
BENCHMARK(BM_ScanTaskLine);

}  // namespace
}  // namespace tessik

BENCHMARK_MAIN();
