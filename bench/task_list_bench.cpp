// ListTasks and GetTask over a large task log: 100,000 tasks in 200,000 lines (tasks with
// one, two and three records), owned by four clients, in a temporary state directory.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "a2a/gateway/route_handlers.h"
#include "a2a/tasks/task_json.h"
#include "a2a/tasks/log_scan/task_line_scan.h"
#include "a2a/tasks/task_log.h"
#include "a2a/tasks/task_queries.h"
#include "base/text.h"
#include "registry/registry.h"
#include "state/evidence_log.h"

namespace tessik {
namespace {

constexpr int kTasks = 100'000;

TaskRecord bench_task(int index, int revision) {
  TaskRecord task;
  task.id = "task-" + std::to_string(1'000'000 + index) + "-0123456789abcdef";
  task.context_id = task.id;
  task.target_agent = "Tessik Mailbox";
  task.target_provider = "tessik_mailbox";
  task.target_provider_session_id = "tessik_mailbox:default";
  task.requester_client_id = "client-" + std::to_string(index % 4);
  task.requester_agent = "agent-" + std::to_string(index % 4);
  task.requester_node = "local";
  task.message_id = "0123456789abcdef0123456789abcdef";
  const std::int64_t base = 1'767'225'600 + index * 7 + revision * 1'000'000;
  const auto event = [&](std::int64_t at, const char* state, const char* code, const char* text) {
    task.events.push_back({format_utc_timestamp(at), state, code, text});
  };
  event(base, kTaskStateSubmitted, "submitted", "A2A request entered Tessik gateway.");
  event(base, kTaskStateWorking, "routed_to_tessik", "Request was converted to an Tessik send.");
  event(base + 1, kTaskStateWorking, "accepted_by_tessik", "tessik_receipt_only");
  task.state = kTaskStateWorking;
  if (revision > 0) {
    task.state = revision == 1 ? kTaskStateCanceled : kTaskStateCompleted;
    event(base + 2, task.state.c_str(), "canceled_by_a2a_client", "A2A client requested it.");
  }
  task.timestamp = task.events.back().timestamp;
  task.history =
      "[" +
      build_message_json("msg-" + std::to_string(index), task.context_id, task.id, "ROLE_USER",
                         "Please look at the failing build on main.", false) +
      "]";
  return task;
}

// Builds the log once per process; the directory is removed at exit. The path is never
// destroyed, so the exit handler can still read it after static destruction began.
const std::filesystem::path& bench_log() {
  static const std::filesystem::path* const path = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "tessik-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    const auto* log = new std::filesystem::path(std::filesystem::path(pattern) / "tasks.jsonl");
    std::ofstream out(*log, std::ios::binary);
    for (int i = 0; i < kTasks; ++i)
      out << task_to_json_v1(bench_task(i, 0)) << '\n';
    for (int i = 0; i < kTasks; ++i) {
      if (i % 10 < 7) out << task_to_json_v1(bench_task(i, 1)) << '\n';
    }
    for (int i = 0; i < kTasks; ++i) {
      if (i % 10 < 3) out << task_to_json_v1(bench_task(i, 2)) << '\n';
    }
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
  params.page_token = bench_task(50'000, 0).id;
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
  const std::string id = bench_task(77'777, 0).id;
  for (auto _ : state) {
    const TaskOperationResult result = get_task(context, principal, id, std::nullopt, "1.0");
    if (!result.ok()) state.SkipWithError(result.error->message.c_str());
    benchmark::DoNotOptimize(result.body.data());
  }
}
BENCHMARK(BM_GetTask)->Unit(benchmark::kMillisecond);

// The per-line cost on its own: one stored line, scanned from cache.
void BM_ScanTaskLine(benchmark::State& state) {
  const std::string line = task_to_json_v1(bench_task(12'345, 1));
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
