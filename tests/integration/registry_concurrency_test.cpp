// Several processes writing the registry at once, a reader beside them, and a writer killed
// mid-publish: no row is lost, no snapshot is torn, no temporary file survives a clean run.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <set>
#include <thread>

#include "base/sha256.h"
#include "registry/registry.h"
#include "state/state_dir.h"
#include "support/build_paths.h"
#include "support/command_run.h"
#include "support/temp_env.h"

extern char** environ;

namespace tessik {
namespace {

namespace fs = std::filesystem;

pid_t spawn(const std::vector<std::string>& argv) {
  std::vector<char*> raw;
  for (const std::string& arg : argv)
    raw.push_back(const_cast<char*>(arg.c_str()));
  raw.push_back(nullptr);
  pid_t pid = -1;
  if (::posix_spawn(&pid, raw[0], nullptr, nullptr, raw.data(), environ) != 0) return -1;
  return pid;
}

// Starts `argv` with its stdout on a pipe; `out` receives the read end.
pid_t spawn_reading(const std::vector<std::string>& argv, int& out) {
  int fds[2];
  if (::pipe(fds) != 0) return -1;
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  ::posix_spawn_file_actions_addclose(&actions, fds[0]);
  std::vector<char*> raw;
  for (const std::string& arg : argv)
    raw.push_back(const_cast<char*>(arg.c_str()));
  raw.push_back(nullptr);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, raw[0], &actions, nullptr, raw.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  if (rc != 0) {
    ::close(fds[0]);
    return -1;
  }
  out = fds[0];
  return pid;
}

// Reads until a line feed or end of file.
std::string read_line(int fd) {
  std::string line;
  char c = 0;
  while (::read(fd, &c, 1) == 1 && c != '\n')
    line.push_back(c);
  return line;
}

int wait_exit(pid_t pid) {
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Checks one unlocked snapshot: whole lines of 23 fields, digest of exactly these bytes.
// Returns the number of rows, or -1 with a failure recorded.
long check_snapshot(const fs::path& path) {
  const RegistrySnapshot snapshot = read_registry_snapshot(path);
  if (!snapshot.metadata.exists) return 0;
  EXPECT_EQ(snapshot.metadata.sha256, sha256_hex(snapshot.content));
  EXPECT_EQ(snapshot.metadata.size, snapshot.content.size());
  EXPECT_FALSE(snapshot.metadata.mailbox_added);
  EXPECT_TRUE(snapshot.content.ends_with('\n'));
  long lines = 0;
  std::size_t start = 0;
  while (start < snapshot.content.size()) {
    const std::size_t end = snapshot.content.find('\n', start);
    if (end == std::string::npos) break;
    const auto line = std::string_view(snapshot.content).substr(start, end - start);
    if (std::count(line.begin(), line.end(), '\t') != 22) {
      ADD_FAILURE() << "torn line: " << line;
      return -1;
    }
    ++lines;
    start = end + 1;
  }
  EXPECT_EQ(static_cast<long>(snapshot.rows.size()), lines - 1);
  return static_cast<long>(snapshot.rows.size());
}

TEST(RegistryConcurrency, FourWritersAndAReaderLoseNothing) {
  test::TempEnv env;
  const fs::path path = agents_registry_path();
  constexpr int kWriters = 4;
  constexpr int kPerWriter = 250;
  // A thousand short processes: under a sanitizer build the exit-time leak scan of each one
  // would dominate the run. Leaks of the same command are checked by the CLI test below.
  const char* sanitizer_options = std::getenv("ASAN_OPTIONS");
  env.set("ASAN_OPTIONS", std::string(sanitizer_options ? sanitizer_options : "") +
                              (sanitizer_options && *sanitizer_options ? ":" : "") +
                              "detect_leaks=0");
  std::vector<pid_t> writers;
  for (int w = 0; w < kWriters; ++w) {
    // Each writer is one shell running its 250 adds in sequence, as a script would.
    const std::string script = "i=0; while [ $i -lt " + std::to_string(kPerWriter) + " ]; do \"" +
                               std::string(TESSIK_BINARY) +
                               "\" agents add --provider codex --session w" + std::to_string(w) +
                               "-s$i --name \"Writer " + std::to_string(w) +
                               " #$i\" >/dev/null || exit 1; "
                               "i=$((i+1)); done";
    writers.push_back(spawn({"/bin/sh", "-c", script}));
    ASSERT_GT(writers.back(), 0);
  }

  long snapshots = 0;
  long last_rows = 0;
  std::vector<int> codes(kWriters, -1);
  int running = kWriters;
  while (running > 0) {
    const long rows = check_snapshot(path);
    ASSERT_GE(rows, last_rows) << "rows disappeared";
    last_rows = rows;
    ++snapshots;
    // Leave the cores to the writers most of the time; a thousand process starts still give
    // the reader well over a hundred looks, however fast each start is.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    for (int w = 0; w < kWriters; ++w) {
      if (codes[w] != -1) continue;
      int status = 0;
      if (::waitpid(writers[w], &status, WNOHANG) == writers[w]) {
        codes[w] = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
        --running;
      }
    }
  }
  for (int code : codes)
    EXPECT_EQ(code, 0);
  EXPECT_GT(snapshots, 100);

  const std::vector<AgentRecord> rows = load_registry(Registry(path));
  ASSERT_EQ(rows.size(), static_cast<std::size_t>(kWriters * kPerWriter + 1));
  std::set<std::string> sessions;
  std::set<std::string> ids;
  for (const AgentRecord& row : rows) {
    ids.insert(row.agent_id);
    if (is_builtin_mailbox(row)) continue;
    sessions.insert(row.provider_session_id);
    EXPECT_EQ(row.source, "manual");
    EXPECT_TRUE(row.display_name.starts_with("Writer ")) << row.display_name;
    EXPECT_EQ(row.public_agent_id.size(), 45u);
  }
  EXPECT_EQ(sessions.size(), static_cast<std::size_t>(kWriters * kPerWriter));
  EXPECT_EQ(ids.size(), rows.size());
  for (const auto& entry : fs::directory_iterator(path.parent_path())) {
    EXPECT_EQ(entry.path().filename().string().find(".tmp."), std::string::npos) << entry.path();
  }
}

TEST(RegistryConcurrency, KilledWriterLeavesOldOrNewContent) {
  test::TempEnv env;
  const fs::path path = agents_registry_path();
  constexpr int kRows = 400;
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> pause_us(0, 30'000);
  int interrupted = 0;
  for (int round = 0; round < 40; ++round) {
    int out = -1;
    const pid_t writer = spawn_reading({std::string(TESSIK_HELPER_DIR) + "/registry_flip_writer",
                                        path.string(), std::to_string(kRows)},
                                       out);
    ASSERT_GT(writer, 0);
    // Kill it somewhere inside its stream of publishes, not before the first one.
    ASSERT_EQ(read_line(out), "started");
    std::this_thread::sleep_for(std::chrono::microseconds(pause_us(random)));
    ::kill(writer, SIGKILL);
    ::close(out);
    EXPECT_EQ(wait_exit(writer), 128 + SIGKILL);

    const RegistrySnapshot snapshot = read_registry_snapshot(path);
    ASSERT_EQ(check_snapshot(path), kRows + 1);
    // Whole passes only: every row carries the same generation's name.
    std::set<std::string> names;
    for (const AgentRecord& row : snapshot.rows) {
      if (!is_builtin_mailbox(row)) names.insert(row.display_name);
    }
    ASSERT_EQ(names.size(), 1u);
    EXPECT_TRUE(*names.begin() == "even" || *names.begin() == "odd");
    EXPECT_EQ(render_registry(snapshot.rows), snapshot.content);
    for (const auto& entry : fs::directory_iterator(path.parent_path())) {
      if (entry.path().filename().string().find(".tmp.") != std::string::npos) {
        ++interrupted;  // a kill landed inside a publish; readers ignore the leftover
        fs::remove(entry.path());
      }
    }
  }
  std::printf("publishes interrupted mid-write: %d of 40\n", interrupted);
  // The lock died with its holder: a new transaction proceeds at once.
  const auto result = mutate_registry(
      path, [](std::vector<AgentRecord>&, const RegistrySnapshotMetadata&) { return false; },
      RegistryMutationOptions{RegistryDeadline::after(1'000'000'000), {}});
  EXPECT_EQ(result.status, RegistryStatus::unchanged) << result.error;
}

TEST(RegistryCli, ArgumentErrorsAndRemoval) {
  test::TempEnv env;
  auto run = [&env](const std::string& args) {
    return test::run_tessik(env.root(), "agents " + args).code;
  };
  EXPECT_EQ(run("add --provider codex --session s1"), 2);
  EXPECT_EQ(run("add --provider codex --session s1 --name"), 2);
  EXPECT_EQ(run("add --provider codex --session s1 --name ' '"), 2);
  EXPECT_EQ(run("add --provider codex --session s1 --name N --bogus x"), 2);
  EXPECT_EQ(run("--verbose"), 2);
  EXPECT_EQ(run("remove"), 2);
  EXPECT_FALSE(fs::exists(agents_registry_path()));

  EXPECT_EQ(run("add --provider Codex-CLI --session s1 --name First --alias one"), 0);
  EXPECT_EQ(run("add --provider codex_cli --session s1 --name Renamed"), 0);  // same session
  std::vector<AgentRecord> rows = load_registry(Registry(agents_registry_path()));
  ASSERT_EQ(rows.size(), 2u);
  const AgentRecord added = rows[1];
  EXPECT_EQ(added.display_name, "Renamed");
  EXPECT_EQ(added.aliases, std::vector<std::string>{"one"});
  EXPECT_EQ(added.provider, "codex_cli");
  EXPECT_TRUE(added.sendable);

  EXPECT_EQ(run("remove nobody"), 1);
  EXPECT_EQ(run("remove tessik-mailbox-local-default"), 1);
  EXPECT_EQ(run("remove " + added.agent_id), 0);
  rows = load_registry(Registry(agents_registry_path()));
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_TRUE(is_builtin_mailbox(rows[0]));

  // A registry that cannot be read is a failure of the command, not of its arguments.
  fs::remove(agents_registry_path());
  fs::create_directories(agents_registry_path());
  EXPECT_EQ(run(""), 1);
  EXPECT_EQ(run("add --provider codex --session s2 --name X"), 1);
}

}  // namespace
}  // namespace tessik
