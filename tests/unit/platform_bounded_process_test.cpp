// Bounded runs of real process trees: limits end the whole tree, escaped grandchildren stay
// supervised, input is released by readiness, and nothing leaks into or out of a run.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/bounded_process.h"
#include "support/build_paths.h"
#include "support/delivery_env.h"
#include "support/temp_env.h"

namespace tessik::platform {
namespace {

const std::filesystem::path kChild = std::filesystem::path(TESSIK_HELPER_DIR) / "tessik_test_child";

struct SpawnedProcess {
  int pid;
  std::string start_time;
};

// The "spawned PID START" lines the helper prints for every grandchild.
std::vector<SpawnedProcess> spawned_in(const std::string& output) {
  std::vector<SpawnedProcess> spawned;
  std::istringstream lines(output);
  std::string word;
  while (lines >> word) {
    if (word != "spawned") continue;
    SpawnedProcess process{};
    lines >> process.pid >> process.start_time;
    spawned.push_back(process);
  }
  return spawned;
}

std::string start_time_of(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return {};
  std::istringstream fields(line.substr(line.rfind(')') + 2));
  std::string field;
  for (int index = 3; index <= 22 && fields >> field; ++index) {
  }
  return field;
}

// True while the process that printed this start time still exists (a zombie counts: nobody
// reaped it). A reused pid has another start time.
bool survives(const SpawnedProcess& process) {
  return start_time_of(process.pid) == process.start_time;
}

void expect_none_survive(const std::vector<SpawnedProcess>& spawned) {
  for (const SpawnedProcess& process : spawned) {
    EXPECT_FALSE(survives(process)) << "pid " << process.pid << " outlived the run";
  }
}

BoundedProcessOptions child_options(std::vector<std::string> arguments,
                                    std::int64_t timeout_ms = 60000) {
  return make_bounded_options(kChild, std::move(arguments), timeout_ms);
}

class BoundedProcessTest : public ::testing::Test {
 protected:
  test::TempEnv env_;
};

TEST_F(BoundedProcessTest, CleanRunCapturesBothStreamsAndExitCode) {
  const auto result = run_bounded_process(child_options({"out", "10", "err", "20", "exit", "3"}));
  EXPECT_EQ(result.error, "");
  EXPECT_EQ(result.exit_code, 3);
  EXPECT_EQ(result.output.size(), 30u);
  EXPECT_EQ(std::count(result.output.begin(), result.output.end(), 'o'), 10);
  EXPECT_EQ(std::count(result.output.begin(), result.output.end(), 'e'), 20);
  EXPECT_TRUE(result.tree_termination_confirmed);
  EXPECT_FALSE(result.output_truncated || result.timed_out || result.launch_budget_exceeded);
}

TEST_F(BoundedProcessTest, HugeTimeOutsMeanNoDeadline) {
  auto options = child_options({"print", "done"}, std::numeric_limits<std::int64_t>::max());
  options.readiness_timeout_ms = std::numeric_limits<std::int64_t>::max();
  options.readiness_predicate = [](std::string_view) { return false; };
  const auto result = run_bounded_process(options);
  EXPECT_EQ(result.error, "");
  EXPECT_EQ(result.output, "done\n");
}

TEST_F(BoundedProcessTest, OutputBeyondTheLimitIsCutExactlyAndStopsTheTree) {
  const auto result = run_bounded_process(child_options({"out", "2097152", "sleep", "60000"}));
  EXPECT_EQ(result.output.size(), 1048576u);
  EXPECT_TRUE(result.output_truncated);
  EXPECT_TRUE(result.output_limit_exceeded);
  EXPECT_EQ(result.error, "bounded process output limit exceeded");
  EXPECT_EQ(result.exit_code, 111);
  EXPECT_TRUE(result.tree_termination_confirmed);

  // A configured limit above the ceiling still keeps no more than the ceiling.
  auto options = child_options({"err", "1048577"});
  options.output_limit = 4 * kMaxBoundedOutputBytes;
  const auto capped = run_bounded_process(options);
  EXPECT_EQ(capped.output.size(), 1048576u);
  EXPECT_EQ(capped.error, "bounded process output limit exceeded");

  auto small = child_options({"out", "100", "exit", "0"});
  small.output_limit = 100;
  const auto exact = run_bounded_process(small);
  EXPECT_EQ(exact.error, "");
  EXPECT_EQ(exact.output.size(), 100u);
  EXPECT_FALSE(exact.output_truncated);
}

TEST_F(BoundedProcessTest, LaunchesBeyondTheBudgetEndTheWholeTree) {
  auto options = child_options({"spawn", "3", "-", "sleep", "60000", "end", "sleep", "60000"});
  options.launch_budget = 3;  // the child and two grandchildren fit, the third does not
  const auto result = run_bounded_process(options);
  EXPECT_EQ(result.error, "bounded process launch budget exceeded");
  EXPECT_TRUE(result.launch_budget_exceeded);
  EXPECT_EQ(result.exit_code, 1816);
  EXPECT_TRUE(result.tree_termination_confirmed);
  const auto spawned = spawned_in(result.output);
  EXPECT_GE(spawned.size(), 2u);
  expect_none_survive(spawned);
}

TEST_F(BoundedProcessTest, DetachedAndDoubleForkedGrandchildrenAreStillCounted) {
  auto options = child_options({"spawn", "2", "sd", "sleep", "60000", "end", "sleep", "60000"});
  options.launch_budget = 2;
  const auto result = run_bounded_process(options);
  EXPECT_EQ(result.error, "bounded process launch budget exceeded");
  EXPECT_TRUE(result.tree_termination_confirmed);
  expect_none_survive(spawned_in(result.output));
}

TEST_F(BoundedProcessTest, TooManyProcessesAtOnceEndTheTree) {
  auto options = child_options({"spawn", "3", "-", "sleep", "60000", "end", "sleep", "60000"});
  options.active_process_limit = 2;
  const auto result = run_bounded_process(options);
  EXPECT_EQ(result.error, "bounded process active process limit exceeded");
  EXPECT_TRUE(result.active_process_limit_exceeded);
  EXPECT_FALSE(result.launch_budget_exceeded);
  EXPECT_EQ(result.exit_code, 56);
  expect_none_survive(spawned_in(result.output));
}

TEST_F(BoundedProcessTest, RunWaitsForGrandchildrenThatEscapedTheirSession) {
  // The child leaves at once; its grandchildren are orphaned into new sessions and finish
  // later. The run is over only when they are.
  const auto result = run_bounded_process(
      child_options({"spawn", "2", "sd", "sleep", "700", "print", "late-grandchild", "end"}));
  EXPECT_EQ(result.error, "");
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_TRUE(result.tree_termination_confirmed);
  std::size_t late = 0;
  for (std::size_t at = result.output.find("late-grandchild"); at != std::string::npos;
       at = result.output.find("late-grandchild", at + 1)) {
    ++late;
  }
  EXPECT_EQ(late, 2u);
}

TEST_F(BoundedProcessTest, TimeOutKillsAGrandchildThatIgnoresTermination) {
  const auto result =
      run_bounded_process(child_options({"spawn", "1", "sd", "ignore-term", "sleep", "120000",
                                         "end", "ignore-term", "sleep", "120000"},
                                        1500));
  EXPECT_EQ(result.error, "bounded process timed out");
  EXPECT_TRUE(result.timed_out);
  EXPECT_EQ(result.exit_code, 1460);
  EXPECT_TRUE(result.tree_termination_confirmed);
  // The caller is back long before the children's own sleep would have ended.
  EXPECT_LT(result.elapsed_ms, 60000);
  const auto spawned = spawned_in(result.output);
  ASSERT_EQ(spawned.size(), 1u);
  expect_none_survive(spawned);
}

TEST_F(BoundedProcessTest, DeferredInputWaitsForTheReadinessPredicate) {
  auto options = child_options(
      {"print", "started", "sleep", "500", "input-check", "print", "ready", "echo-stdin"});
  options.deferred_input = "deferred-data\n";
  bool saw_output_before_ready = false;
  options.readiness_predicate = [&](std::string_view output) {
    if (output == "started\n") saw_output_before_ready = true;
    return output.find("\nready\n") != std::string_view::npos;
  };
  const auto result = run_bounded_process(options);
  EXPECT_EQ(result.error, "");
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_TRUE(result.deferred_input_written);
  EXPECT_EQ(result.output, "started\nno-input-before-ready\nready\ndeferred-data\n");
  EXPECT_TRUE(saw_output_before_ready);
}

TEST_F(BoundedProcessTest, DeferredInputIsNeverWrittenWhenReadinessTimesOut) {
  auto options = child_options({"print", "waiting", "echo-stdin"});
  options.deferred_input = "secret";
  options.readiness_timeout_ms = 500;
  options.readiness_predicate = [](std::string_view) { return false; };
  const auto result = run_bounded_process(options);
  EXPECT_EQ(result.error, "process readiness condition timed out");
  EXPECT_TRUE(result.readiness_timed_out);
  EXPECT_FALSE(result.timed_out);
  EXPECT_FALSE(result.deferred_input_written);
  EXPECT_EQ(result.output.find("secret"), std::string::npos);
  EXPECT_EQ(result.exit_code, 1460);
  EXPECT_TRUE(result.tree_termination_confirmed);
}

TEST_F(BoundedProcessTest, InitialInputReachesTheChildAndItsEndIsSignalled) {
  auto options = child_options({"echo-stdin", "print", "eof"});
  options.initial_input = "hello\n";
  const auto result = run_bounded_process(options);
  EXPECT_EQ(result.error, "");
  EXPECT_EQ(result.output, "hello\neof\n");
  EXPECT_FALSE(result.deferred_input_written);

  // Without input the child reads the null device: end of input at once, never a hang.
  const auto no_input = run_bounded_process(child_options({"echo-stdin", "print", "eof"}));
  EXPECT_EQ(no_input.output, "eof\n");
}

TEST_F(BoundedProcessTest, FailingPredicateStopsTheTree) {
  auto options = child_options({"sleep", "60000"});
  options.readiness_predicate = [](std::string_view) -> bool { throw std::runtime_error("boom"); };
  auto result = run_bounded_process(options);
  EXPECT_EQ(result.error, "process readiness predicate failed: boom");
  EXPECT_EQ(result.exit_code, 13);
  EXPECT_TRUE(result.tree_termination_confirmed);

  options.readiness_predicate = [](std::string_view) -> bool { throw 7; };
  result = run_bounded_process(options);
  EXPECT_EQ(result.error, "process readiness predicate failed");
}

TEST_F(BoundedProcessTest, CancellationStopsARunningTreeOrRefusesToStart) {
  auto options = child_options({"spawn", "1", "sd", "sleep", "60000", "end", "sleep", "60000"});
  options.cancellation_token = std::make_shared<std::atomic<bool>>(false);
  std::thread canceller([token = options.cancellation_token] {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    token->store(true);
  });
  const auto result = run_bounded_process(options);
  canceller.join();
  EXPECT_EQ(result.error, "bounded process cancelled");
  EXPECT_TRUE(result.cancelled);
  EXPECT_EQ(result.exit_code, 1223);
  expect_none_survive(spawned_in(result.output));

  const auto refused = run_bounded_process(options);  // the token is still set
  EXPECT_EQ(refused.error, "bounded process cancelled before launch");
  EXPECT_EQ(refused.exit_code, -1);
  EXPECT_EQ(refused.output, "");
}

TEST_F(BoundedProcessTest, ChildSeesOnlyItsStandardDescriptors) {
  // Descriptors opened without close-on-exec by the caller must not reach the child either.
  const int stray = ::open("/dev/null", O_RDONLY);
  int stray_pipe[2];
  ASSERT_EQ(::pipe(stray_pipe), 0);
  auto options = child_options({"print-fds"});
  auto result = run_bounded_process(options);
  EXPECT_EQ(result.output, "fds 0 1 2\n");
  options.initial_input = "x";
  result = run_bounded_process(options);
  EXPECT_EQ(result.output, "fds 0 1 2\n");
  ::close(stray);
  ::close(stray_pipe[0]);
  ::close(stray_pipe[1]);
}

TEST_F(BoundedProcessTest, ChildGetsArgumentsEnvironmentDirectoryAndDepth) {
  env_.set("TESSIK_TEST_CHILD_DEPTH", "3");
  auto options = child_options({"print-arg", "two words\\", "print-arg", "", "print-env",
                                "RUNNER_PROBE", "print-depth", "print-cwd"});
  options.environment_overrides = {{"RUNNER_PROBE", "first"}, {"RUNNER_PROBE", "second"}};
  options.working_directory = env_.root();
  const auto result = run_bounded_process(options);
  EXPECT_EQ(result.error, "");
  EXPECT_EQ(result.output, "arg[two words\\]\narg[]\nenv RUNNER_PROBE=second\ndepth 4\ncwd " +
                               env_.root().string() + "\n");

  auto with_nul = child_options({"print-arg", std::string("a\0b", 3)});
  EXPECT_EQ(run_bounded_process(with_nul).error,
            "bounded process arguments must not contain NUL characters");
  EXPECT_EQ(launch_detached_process(kChild, {std::string("a\0b", 3)}, {}).error,
            "detached process arguments must not contain NUL characters");

  options.environment_overrides = {{"TESSIK_TEST_CHILD_DEPTH", "0"}};
  const auto refused = run_bounded_process(options);
  EXPECT_EQ(refused.error, "environment override of TESSIK_TEST_CHILD_DEPTH is not allowed");
  EXPECT_EQ(refused.exit_code, -1);
}

TEST_F(BoundedProcessTest, UnstartableProgramIsReportedWithoutLeftovers) {
  const auto plain = env_.root() / "not-executable";
  std::ofstream(plain) << "data";
  std::filesystem::permissions(
      plain, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  const auto result = run_bounded_process(make_bounded_options(plain, {}, 10000));
  EXPECT_EQ(result.error, "CreateProcessW failed: Permission denied");
  EXPECT_EQ(result.exit_code, -1);
  EXPECT_TRUE(result.tree_termination_confirmed);
}

TEST_F(BoundedProcessTest, ShellCommandRunsThroughTheShell) {
  const auto result = run_shell_command("echo \"$((6 * 7))\"; exit 4");
  EXPECT_EQ(result.error, "");
  EXPECT_EQ(result.output, "42\n");
  EXPECT_EQ(result.exit_code, 4);
}

TEST_F(BoundedProcessTest, DetachedLaunchOutlivesARunAndIsNotCountedInIt) {
  env_.set("TESSIK_TEST_CHILD_DEPTH", "5");
  const auto report = env_.root() / "detached.txt";
  auto options = child_options({"sleep", "1500"});
  options.launch_budget = 1;
  options.active_process_limit = 1;
  BoundedProcessResult run;
  std::thread runner([&] { run = run_bounded_process(options); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const auto detached = launch_detached_process(
      kChild,
      {"report-to", report.string(), "print-pid", "print-fds", "print-depth", "sleep", "60000"},
      {});
  runner.join();
  ASSERT_EQ(detached.error, "");
  EXPECT_EQ(detached.state, "started");
  EXPECT_EQ(detached.exit_code, 0);
  EXPECT_EQ(run.error, "");
  EXPECT_FALSE(run.launch_budget_exceeded || run.active_process_limit_exceeded);

  std::string pid_line;
  for (int attempt = 0; attempt < 200; ++attempt) {
    std::ifstream in(report);
    std::string contents((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (contents.find("depth") != std::string::npos) {
      EXPECT_NE(contents.find("fds 0 1 2\n"), std::string::npos) << contents;
      EXPECT_NE(contents.find("depth 6\n"), std::string::npos) << contents;
      pid_line = contents.substr(0, contents.find('\n'));
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::istringstream fields(pid_line);
  std::string word;
  SpawnedProcess process{};
  fields >> word >> process.pid >> process.start_time;
  ASSERT_EQ(word, "pid");
  EXPECT_EQ(process.pid, detached.process_id);
  EXPECT_TRUE(survives(process));
  ::kill(process.pid, SIGKILL);
}

TEST_F(BoundedProcessTest, TreeDiesWithTheProcessThatSupervisesIt) {
  // The host is started detached, so killing it is like the broker crashing mid-run.
  const auto report = env_.root() / "grandchild.txt";
  const auto host = launch_detached_process(
      std::filesystem::path(TESSIK_HELPER_DIR) / "tessik_test_run_host",
      {kChild.string(), "120000", "spawn", "1", "sd", "report-to", report.string(), "print-pid",
       "sleep", "120000", "end", "sleep", "120000"},
      {});
  ASSERT_EQ(host.error, "");
  SpawnedProcess grandchild{};
  for (int attempt = 0; attempt < 600 && grandchild.pid == 0; ++attempt) {
    std::ifstream in(report);
    std::string word;
    if (in >> word >> grandchild.pid >> grandchild.start_time && word == "pid") break;
    grandchild.pid = 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_NE(grandchild.pid, 0) << "the grandchild never reported";
  ASSERT_TRUE(survives(grandchild));
  ASSERT_EQ(::kill(static_cast<pid_t>(host.process_id), SIGKILL), 0);
  const bool gone =
      test::wait_until([&] { return !survives(grandchild); }, std::chrono::seconds(30));
  EXPECT_TRUE(gone) << "pid " << grandchild.pid << " outlived its supervisor";
  if (!gone) ::kill(grandchild.pid, SIGKILL);
}

TEST_F(BoundedProcessTest, DetachedLaunchReportsAProgramThatCannotStart) {
  const auto result = launch_detached_process("/nonexistent/tessik-program", {}, {});
  EXPECT_EQ(result.state, "");
  EXPECT_EQ(
      result.error,
      "CreateProcessW failed: No such file or directory executable=/nonexistent/tessik-program");

  env_.set("TESSIK_TEST_CHILD_DEPTH", "4294967295");
  EXPECT_EQ(launch_detached_process(kChild, {}, {}).error,
            "detached process recursion depth overflow");
  env_.set("TESSIK_TEST_CHILD_DEPTH", "x");
  EXPECT_EQ(launch_detached_process(kChild, {}, {}).error,
            "TESSIK_TEST_CHILD_DEPTH must be an unsigned integer");
}

}  // namespace
}  // namespace tessik::platform
