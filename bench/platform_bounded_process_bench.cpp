// Cost of one bounded run end to end (supervisor, pipes, threads, accounting) for a program
// that exits at once, and for one that goes through the shell.
#include <benchmark/benchmark.h>

#include "platform/bounded_process.h"

namespace {

void BM_BoundedRunTrue(benchmark::State& state) {
  const auto options = tessik::platform::make_bounded_options("/bin/true", {}, 30000);
  for (auto _ : state) {
    const auto result = tessik::platform::run_bounded_process(options);
    if (!result.error.empty()) state.SkipWithError(result.error.c_str());
  }
}
BENCHMARK(BM_BoundedRunTrue)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ShellCommand(benchmark::State& state) {
  for (auto _ : state) {
    const auto result = tessik::platform::run_shell_command("echo hello");
    if (!result.error.empty()) state.SkipWithError(result.error.c_str());
  }
}
BENCHMARK(BM_ShellCommand)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
