// State directory resolution order and the start-up tree.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "state/state_dir.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

namespace fs = std::filesystem;

TEST(StateDir, ResolutionOrderAndEmptyCountsAsSet) {
  test::TempEnv env;
  EXPECT_EQ(resolve_state_directory(), env.state_dir());

  env.unset("LOCALAPPDATA");
  env.set("XDG_STATE_HOME", "/tmp/x");
  env.set("USERPROFILE", "/profile");
  env.set("HOME", "/h");
  EXPECT_EQ(resolve_state_directory(), fs::path("/tmp/x/tessik"));

  env.unset("XDG_STATE_HOME");
  EXPECT_EQ(resolve_state_directory(), fs::path("/profile/.tessik"));
  env.unset("USERPROFILE");
  EXPECT_EQ(resolve_state_directory(), fs::path("/h/.tessik"));

  // Present but empty still wins over the variables after it.
  env.set("LOCALAPPDATA", "");
  EXPECT_EQ(resolve_state_directory(), fs::path("Tessik"));
}

TEST(StateDir, NothingSetIsAnErrorWithTheFixedMessage) {
  test::TempEnv env;
  for (const char* name : {"LOCALAPPDATA", "XDG_STATE_HOME", "USERPROFILE", "HOME"}) {
    env.unset(name);
  }
  try {
    resolve_state_directory();
    FAIL() << "resolution should fail";
  } catch (const StateDirectoryError& error) {
    EXPECT_STREQ(
        error.what(),
        "could not resolve state directory: LOCALAPPDATA, USERPROFILE, and HOME are unset");
  }
}

TEST(StateDir, EnvironmentChangesTakeEffectAtTheNextCall) {
  test::TempEnv env;
  const fs::path first = events_log_path();
  env.set("LOCALAPPDATA", (env.root() / "other").string());
  EXPECT_NE(events_log_path(), first);
  EXPECT_EQ(events_log_path(), env.root() / "other" / "Tessik" / "logs" / "events.jsonl");
}

TEST(StateDir, EnsureCreatesTheWholeTree) {
  test::TempEnv env;
  ensure_state_directories();
  for (const char* sub : {"registry", "logs", "mailbox/messages", "test-runs"}) {
    EXPECT_TRUE(fs::is_directory(env.state_dir() / sub)) << sub;
  }
  ensure_state_directories();  // idempotent
}

TEST(StateDir, EnsureReportsTheFailingStep) {
  test::TempEnv env;
  fs::create_directories(env.state_dir());
  std::ofstream(env.state_dir() / "registry") << "a file where a directory belongs";
  try {
    ensure_state_directories();
    FAIL() << "a file in the way should fail";
  } catch (const StateDirectoryError& error) {
    EXPECT_EQ(std::string(error.what()).rfind("could not create registry directory: ", 0), 0u)
        << error.what();
  }
  fs::remove(env.state_dir() / "registry");
  std::ofstream(env.state_dir() / "test-runs") << "x";
  try {
    ensure_state_directories();
    FAIL() << "a file in the way should fail";
  } catch (const StateDirectoryError& error) {
    EXPECT_EQ(std::string(error.what()).rfind("could not create mailbox test runs directory: ", 0),
              0u)
        << error.what();
  }
}

TEST(TempEnvSupport, RestoresTheEnvironmentAndRemovesItsTree) {
  const char* before = std::getenv("TESSIK_PIPE_DIR");
  const std::string saved = before ? before : "";
  fs::path root;
  {
    test::TempEnv env;
    root = env.root();
    struct stat info {};
    ASSERT_EQ(::stat(env.pipe_dir().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_EQ(std::getenv("TESSIK_PIPE_DIR"), env.pipe_dir().string());
  }
  EXPECT_FALSE(fs::exists(root));
  const char* after = std::getenv("TESSIK_PIPE_DIR");
  EXPECT_EQ(after != nullptr, before != nullptr);
  if (after) {
    EXPECT_EQ(saved, after);
  }
}

}  // namespace
}  // namespace tessik
