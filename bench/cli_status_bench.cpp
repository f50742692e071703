// `tessik status` as a user runs it: a fresh process that asks the broker over its socket,
// probes the stand-in over HTTP and counts a state directory with 1,000 tasks, 100 mailbox
// messages and a few agents. Goal: under 50 ms per run, process start included.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "a2a/tasks/task_log.h"
#include "providers/mailbox/mailbox_store.h"
#include "state/state_dir.h"
#include "support/build_paths.h"
#include "support/gateway_stack.h"
#include "support/task_fixtures.h"
#include "support/temp_env.h"

extern char** environ;

namespace {

using namespace tessik;

struct StatusUnderTest {
  test::TempEnv env;
  std::unique_ptr<test::GatewayStack> stack;
  std::string endpoint;

  StatusUnderTest() {
    env.set("TESSIK_SERVICE_UID", std::to_string(::getuid()));
    for (int i = 0; i < 1000; ++i) {
      append_task_record(a2a_directory() / "tasks.jsonl",
                         test::stored_task("bench-task-" + std::to_string(i), "inline-token",
                                           "2026-01-01T00:00:00Z"));
    }
    for (int i = 0; i < 100; ++i) {
      MailboxMessage message;
      message.message_id = "bench-message-" + std::to_string(i);
      message.received_at = "2026-01-01T00:00:00Z";
      message.sender_name = "bench";
      message.final_visible_body = "hello";
      write_mailbox_message(mailbox_messages_directory(), message);
    }
    stack = std::make_unique<test::GatewayStack>();
    endpoint = "127.0.0.1:" + std::to_string(stack->port());
  }
};

int run_status(const std::string& endpoint);

StatusUnderTest& status_under_test() {
  static StatusUnderTest instance;
  return instance;
}

// Runs `tessik status` with its output discarded; returns the exit code.
int run_status(const std::string& endpoint) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  std::string binary = TESSIK_BINARY;
  std::string mode = "status", option = "--endpoint", value = endpoint;
  char* argv[] = {binary.data(), mode.data(), option.data(), value.data(), nullptr};
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

void BM_StatusCommand(benchmark::State& state) {
  const std::string endpoint = status_under_test().endpoint;
  run_status(endpoint);  // the first run pages the executable in; users rarely pay that twice
  for (auto _ : state) {
    if (run_status(endpoint) != 0) {
      state.SkipWithError("tessik status did not report a running broker");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StatusCommand)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
