// The detached launcher's process: its own session and group, clean signal state, and reaping
// by pid that collects ended launches without touching the caller's other children.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/bounded_process.h"
#include "support/build_paths.h"
#include "support/delivery_env.h"
#include "support/temp_env.h"

extern char** environ;

namespace tessik::platform {
namespace {

const std::filesystem::path kChild = std::filesystem::path(TESSIK_HELPER_DIR) / "tessik_test_child";

// The state letter of /proc/<pid>/stat ('Z' for a zombie), or 0 when the process is gone.
char process_state(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t close = text.rfind(')');
  return close == std::string::npos || close + 2 >= text.size() ? 0 : text[close + 2];
}

// The hexadecimal mask of a "Name:\tvalue" line of /proc/<pid>/status.
unsigned long long status_mask(pid_t pid, const std::string& name) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(name + ":", 0) == 0) return std::stoull(line.substr(name.size() + 1), nullptr, 16);
  }
  ADD_FAILURE() << "no " << name << " for pid " << pid;
  return ~0ULL;
}

// Waits (bounded generously) until the process has the wanted state; false when it never did.
bool reaches_state(pid_t pid, char wanted) {
  return test::wait_until([&] { return process_state(pid) == wanted; }, std::chrono::seconds(30));
}

class DetachedLaunchTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (pid_ > 0) ::kill(pid_, SIGKILL);
    while (reap_detached_processes() > 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }

  pid_t launch_sleeper() {
    const DetachedProcessResult launched = launch_detached_process(kChild, {"sleep", "60000"}, {});
    EXPECT_EQ(launched.state, "started") << launched.error;
    pid_ = static_cast<pid_t>(launched.process_id);
    return pid_;
  }

  test::TempEnv env_;
  pid_t pid_ = -1;
};

TEST_F(DetachedLaunchTest, RunsInASessionAndGroupOfItsOwnWithDefaultSignals) {
  // Settings of the launcher that a worker must not inherit: an ignored and a blocked signal.
  struct sigaction ignore {
  }, previous{};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGTERM, &ignore, &previous), 0);
  sigset_t blocked, old_mask;
  ::sigemptyset(&blocked);
  ::sigaddset(&blocked, SIGUSR1);
  ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &blocked, &old_mask), 0);
  const pid_t pid = launch_sleeper();
  ::sigaction(SIGTERM, &previous, nullptr);
  ::pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  ASSERT_GT(pid, 0);

  EXPECT_EQ(::getsid(pid), pid);
  EXPECT_EQ(::getpgid(pid), pid);
  EXPECT_NE(::getpgid(pid), ::getpgrp());
  // The launch returns before the exec may have happened; the helper's own settings do not
  // touch these masks, so once it runs they show what the launch gave it.
  ASSERT_TRUE(reaches_state(pid, 'S'));
  EXPECT_EQ(status_mask(pid, "SigIgn") & (1ULL << (SIGTERM - 1)), 0u);
  EXPECT_EQ(status_mask(pid, "SigBlk"), 0u);
}

TEST_F(DetachedLaunchTest, ReapingCollectsEndedLaunchesAndNoOtherChild) {
  const pid_t detached = launch_sleeper();
  ASSERT_GT(detached, 0);
  EXPECT_GE(reap_detached_processes(), 1u) << "a running launch counts as running";

  // A child of this process that the launcher did not start: it must stay ours to wait for.
  char true_path[] = "/bin/true";
  char* argv[] = {true_path, nullptr};
  pid_t other = -1;
  ASSERT_EQ(::posix_spawn(&other, true_path, nullptr, nullptr, argv, environ), 0);
  ASSERT_TRUE(reaches_state(other, 'Z'));

  ASSERT_EQ(::kill(detached, SIGKILL), 0);
  ASSERT_TRUE(reaches_state(detached, 'Z'));
  EXPECT_EQ(reap_detached_processes(), 0u);
  EXPECT_EQ(process_state(detached), 0) << "the ended launch is still a zombie";
  pid_ = -1;

  EXPECT_EQ(process_state(other), 'Z');
  int status = -1;
  EXPECT_EQ(::waitpid(other, &status, WNOHANG), other);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(DetachedLaunchTest, ManyShortLaunchesLeaveNoZombieOnceReaped) {
  std::vector<pid_t> pids;
  for (int i = 0; i < 50; ++i) {
    const DetachedProcessResult launched = launch_detached_process("/bin/true", {}, {});
    ASSERT_EQ(launched.state, "started") << launched.error;
    pids.push_back(static_cast<pid_t>(launched.process_id));
  }
  for (const pid_t pid : pids) {
    // Each one either was reaped by a later launch already or ends as a zombie of ours.
    const char state = process_state(pid);
    EXPECT_TRUE(state == 0 || reaches_state(pid, 'Z')) << "pid " << pid << " state " << state;
  }
  EXPECT_EQ(reap_detached_processes(), 0u);
  for (const pid_t pid : pids)
    EXPECT_EQ(process_state(pid), 0) << "pid " << pid;
}

}  // namespace
}  // namespace tessik::platform
