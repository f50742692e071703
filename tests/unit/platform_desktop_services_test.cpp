// Desktop-facing services: process start times for liveness checks, directory change
// notifications, and handing a URI to the desktop opener.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

#include "platform/directory_watch.h"
#include "platform/process_identity.h"
#include "platform/uri_launcher.h"
#include "support/temp_env.h"

namespace tessik::platform {
namespace {

namespace fs = std::filesystem;

std::int64_t unix_ms_now() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

TEST(ProcessIdentity, RunningProcessesHaveAStartAndEndedOnesDoNot) {
  const std::int64_t before_child = unix_ms_now();
  const pid_t child = ::fork();
  if (child == 0) {
    ::pause();
    ::_exit(0);
  }
  ASSERT_GT(child, 0);
  const ProcessStart running = query_process_start(static_cast<std::uint32_t>(child));
  EXPECT_TRUE(running.running);
  // /proc gives the boot time in whole seconds, hence the slack.
  EXPECT_GE(running.started_at_unix_ms, before_child - 2000);
  EXPECT_LE(running.started_at_unix_ms, unix_ms_now() + 2000);
  EXPECT_LE(query_process_start(current_process_id()).started_at_unix_ms,
            running.started_at_unix_ms + 1000);

  ::kill(child, SIGKILL);
  siginfo_t info{};
  ::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT);  // a zombie now
  EXPECT_FALSE(query_process_start(static_cast<std::uint32_t>(child)).running);
  ::waitpid(child, nullptr, 0);
  EXPECT_FALSE(query_process_start(static_cast<std::uint32_t>(child)).running);
  EXPECT_FALSE(query_process_start(0).running);
}

TEST(DirectoryWatch, SignalsNewNamesUntilRearmed) {
  test::TempEnv env;
  DirectoryWatch watch;
  int code = 0;
  ASSERT_TRUE(watch.open(env.temp_dir(), code)) << code;
  EXPECT_EQ(watch.wait(20, code), DirectoryWaitStatus::timed_out);
  std::ofstream(env.temp_dir() / "a.json") << "{}";
  EXPECT_EQ(watch.wait(5000, code), DirectoryWaitStatus::changed);
  EXPECT_EQ(watch.wait(1, code), DirectoryWaitStatus::changed);  // still pending
  ASSERT_TRUE(watch.rearm(code));
  EXPECT_EQ(watch.wait(20, code), DirectoryWaitStatus::timed_out);

  DirectoryWatch missing;
  EXPECT_FALSE(missing.open(env.root() / "nope", code));
  EXPECT_EQ(code, ENOENT);
  EXPECT_EQ(missing.wait(1, code), DirectoryWaitStatus::failed);
}

class UriOpenerTest : public ::testing::Test {
 protected:
  // Puts an xdg-open script with `body` alone on PATH.
  void install_opener(const std::string& body) {
    const fs::path bin = env_.root() / "bin";
    fs::create_directories(bin);
    const fs::path script = bin / "xdg-open";
    std::ofstream(script) << "#!/bin/sh\n" << body << "\n";
    ::chmod(script.c_str(), 0700);
    env_.set("PATH", bin.string());
  }

  test::TempEnv env_;
};

TEST_F(UriOpenerTest, HandsTheUriToTheOpener) {
  const fs::path record = env_.root() / "opened.txt";
  install_opener("printf '%s' \"$1\" > '" + record.string() + "'");
  const UriOpenResult result = open_uri("codex://threads/t 1?x=\"y\"", 5000);
  EXPECT_TRUE(result.opened) << result.error;
  EXPECT_EQ(test::read_file(record), "codex://threads/t 1?x=\"y\"");
}

TEST_F(UriOpenerTest, RefusalsAndAMissingOpenerReportACode) {
  install_opener("exit 4");
  const UriOpenResult refused = open_uri("cursor://x", 5000);
  EXPECT_FALSE(refused.opened);
  EXPECT_EQ(refused.code, 4);
  EXPECT_EQ(refused.error, "ShellExecute failed: 4");

  env_.set("PATH", (env_.root() / "empty").string());
  const UriOpenResult missing = open_uri("cursor://x", 5000);
  EXPECT_FALSE(missing.opened);
  EXPECT_EQ(missing.error, "ShellExecute failed: 2");
}

}  // namespace
}  // namespace tessik::platform
