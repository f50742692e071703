// Registry lock waits, deadlines and cancellation; atomic publication.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stop_token>
#include <thread>

#include "base/text.h"
#include "registry/lock_publish.h"
#include "support/build_paths.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

namespace fs = std::filesystem;
using test::read_file;

constexpr std::int64_t kMs = 1'000'000;

std::vector<fs::path> temporaries_in(const fs::path& dir) {
  std::vector<fs::path> found;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().filename().string().find(".tmp.") != std::string::npos) {
      found.push_back(entry.path());
    }
  }
  return found;
}

// A child process holding the lock; reports the monotonic time at which it released it.
class LockHolder {
 public:
  LockHolder(const fs::path& registry, int hold_ms) {
    const std::string command = std::string(TESSIK_HELPER_DIR) + "/registry_lock_holder '" +
                                registry.string() + "' " + std::to_string(hold_ms);
    pipe_ = ::popen(command.c_str(), "r");
    char line[128] = {};
    if (pipe_ == nullptr || std::fgets(line, sizeof line, pipe_) == nullptr) return;
    locked_ = std::string(line) == "locked\n";
  }
  ~LockHolder() {
    if (pipe_ != nullptr) ::pclose(pipe_);
  }
  bool locked() const { return locked_; }
  // Blocks until the holder releases; returns its release time (0 on failure).
  std::int64_t wait_released() {
    char line[128] = {};
    long long at = 0;
    if (std::fgets(line, sizeof line, pipe_) == nullptr) return 0;
    if (std::sscanf(line, "released %lld", &at) != 1) return 0;
    return at;
  }

 private:
  FILE* pipe_ = nullptr;
  bool locked_ = false;
};

class RegistryLockTest : public ::testing::Test {
 protected:
  test::TempEnv env_;
  fs::path registry_ = env_.state_dir() / "registry" / "agents.tsv";
};

TEST_F(RegistryLockTest, LockFileLiesBesideTheRegistryAndStays) {
  RegistryFileLock lock;
  std::string error;
  ASSERT_EQ(lock_registry_file(registry_, RegistryDeadline::after(1000 * kMs), lock, error),
            RegistryStatus::unchanged)
      << error;
  EXPECT_TRUE(lock.locked);
  unlock_registry_file(lock);
  unlock_registry_file(lock);  // a second release is a no-op
  EXPECT_FALSE(lock.locked);
  EXPECT_TRUE(fs::is_regular_file(registry_.parent_path() / "agents.tsv.lock"));
  EXPECT_EQ(registry_lock_path(registry_).filename(), "agents.tsv.lock");
  EXPECT_FALSE(fs::exists(registry_));
}

// The lock file must follow every change of the links on the way to the registry, however
// often the same path was resolved before.
TEST_F(RegistryLockTest, LockPathFollowsLinksThatChangeBetweenCalls) {
  const fs::path root = env_.state_dir() / "links";
  fs::create_directories(root / "first");
  fs::create_directories(root / "second");
  fs::create_directories(root / "elsewhere");
  const fs::path canonical_root = fs::canonical(root);
  const fs::path link = root / "current";
  const fs::path registry = link / "agents.tsv";

  fs::create_directory_symlink(root / "first", link);
  EXPECT_EQ(registry_lock_path(registry), canonical_root / "first" / "agents.tsv.lock");
  EXPECT_EQ(registry_lock_path(registry), canonical_root / "first" / "agents.tsv.lock");

  fs::remove(link);
  fs::create_directory_symlink(root / "second", link);
  EXPECT_EQ(registry_lock_path(registry), canonical_root / "second" / "agents.tsv.lock");

  // The registry file itself becomes a link: its target's lock is the one.
  std::ofstream(root / "elsewhere" / "real.tsv") << "agent_id\n";
  fs::create_symlink(root / "elsewhere" / "real.tsv", root / "second" / "agents.tsv");
  EXPECT_EQ(registry_lock_path(registry), canonical_root / "elsewhere" / "real.tsv.lock");
  fs::remove(root / "second" / "agents.tsv");
  EXPECT_EQ(registry_lock_path(registry), canonical_root / "second" / "agents.tsv.lock");

  // The resolved directory renamed away and another put under the old name.
  fs::rename(root / "second", root / "moved");
  fs::create_directories(root / "second");
  fs::remove(link);
  fs::create_directory_symlink(root / "moved", link);
  EXPECT_EQ(registry_lock_path(registry), canonical_root / "moved" / "agents.tsv.lock");

  // A directory that does not exist yet resolves as far as it does.
  EXPECT_EQ(registry_lock_path(link / "missing" / "agents.tsv"),
            canonical_root / "moved" / "missing" / "agents.tsv.lock");
}

TEST_F(RegistryLockTest, TwoHandlesInOneProcessExcludeEachOther) {
  RegistryFileLock first;
  RegistryFileLock second;
  std::string error;
  ASSERT_EQ(lock_registry_file(registry_, RegistryDeadline::after(1000 * kMs), first, error),
            RegistryStatus::unchanged);
  EXPECT_EQ(lock_registry_file(registry_, RegistryDeadline::after(50 * kMs), second, error),
            RegistryStatus::lock_timeout);
  unlock_registry_file(second);
  unlock_registry_file(first);
  EXPECT_EQ(lock_registry_file(registry_, RegistryDeadline::after(50 * kMs), second, error),
            RegistryStatus::unchanged);
  unlock_registry_file(second);
}

TEST_F(RegistryLockTest, WaiterTimesOutAtItsDeadlineThenGetsTheLockSoonAfterRelease) {
  LockHolder holder(registry_, 600);
  ASSERT_TRUE(holder.locked());

  RegistryFileLock lock;
  std::string error;
  const std::int64_t start = monotonic_now_ns();
  EXPECT_EQ(lock_registry_file(registry_, RegistryDeadline{start + 150 * kMs, {}}, lock, error),
            RegistryStatus::lock_timeout);
  const std::int64_t waited = monotonic_now_ns() - start;
  EXPECT_GE(waited, 150 * kMs);
  EXPECT_LT(waited, 400 * kMs);
  unlock_registry_file(lock);

  ASSERT_EQ(lock_registry_file(registry_, RegistryDeadline::after(5000 * kMs), lock, error),
            RegistryStatus::unchanged)
      << error;
  const std::int64_t acquired_at = monotonic_now_ns();
  const std::int64_t released_at = holder.wait_released();
  ASSERT_GT(released_at, 0);
  // One 10 ms retry step plus scheduling slack on a loaded machine.
  EXPECT_LT(acquired_at - released_at, 100 * kMs);
  unlock_registry_file(lock);
}

TEST_F(RegistryLockTest, CancellationEndsTheWait) {
  LockHolder holder(registry_, 700);
  ASSERT_TRUE(holder.locked());
  std::stop_source stop;
  std::jthread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    stop.request_stop();
  });
  RegistryFileLock lock;
  std::string error;
  const std::int64_t start = monotonic_now_ns();
  EXPECT_EQ(lock_registry_file(registry_, RegistryDeadline::after(5000 * kMs, stop.get_token()),
                               lock, error),
            RegistryStatus::cancelled);
  EXPECT_LT(monotonic_now_ns() - start, 600 * kMs);
  EXPECT_FALSE(lock.locked);
  unlock_registry_file(lock);

  // Already cancelled or already past the deadline: no wait at all.
  RegistryFileLock other;
  EXPECT_EQ(lock_registry_file(registry_, RegistryDeadline::after(5000 * kMs, stop.get_token()),
                               other, error),
            RegistryStatus::cancelled);
  EXPECT_EQ(
      lock_registry_file(registry_, RegistryDeadline{monotonic_now_ns() - 1, {}}, other, error),
      RegistryStatus::lock_timeout);
  unlock_registry_file(other);
}

TEST_F(RegistryLockTest, LockDirectoryThatCannotBeCreatedIsAnIoError) {
  fs::create_directories(env_.state_dir());
  std::ofstream(env_.state_dir() / "blocker") << "x";
  RegistryFileLock lock;
  std::string error;
  EXPECT_EQ(lock_registry_file(env_.state_dir() / "blocker" / "agents.tsv",
                               RegistryDeadline::after(100 * kMs), lock, error),
            RegistryStatus::io_error);
  EXPECT_TRUE(error.starts_with("could not create registry lock directory: ")) << error;
  unlock_registry_file(lock);
}

TEST_F(RegistryLockTest, PublishCreatesThenReplacesAndLeavesNoTemporary) {
  publish_file_atomically(registry_, "first\n", "registry");
  EXPECT_EQ(read_file(registry_), "first\n");
  publish_file_atomically(registry_, std::string("second\r\n\0x", 9), "registry");
  EXPECT_EQ(read_file(registry_), std::string("second\r\n\0x", 9));
  EXPECT_TRUE(temporaries_in(registry_.parent_path()).empty());
  // Private whatever the umask, and so are the directories made on the way.
  const mode_t saved = ::umask(0);
  const fs::path nested = env_.state_dir() / "fresh" / "agents.tsv";
  publish_file_atomically(nested, "x", "registry");
  ::umask(saved);
  struct stat info {};
  ASSERT_EQ(::stat(registry_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(nested.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(nested.parent_path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
}

TEST_F(RegistryLockTest, PublishFailuresNameTheLabelAndCleanUp) {
  fs::create_directories(env_.state_dir());
  std::ofstream(env_.state_dir() / "blocker") << "x";
  try {
    publish_file_atomically(env_.state_dir() / "blocker" / "f", "x", "thing");
    ADD_FAILURE() << "expected a failure";
  } catch (const RegistryError& e) {
    EXPECT_TRUE(std::string(e.what()).starts_with("could not create thing directory: "))
        << e.what();
  }
  // A destination that is a directory cannot be replaced by a file.
  const fs::path dir = env_.state_dir() / "dir";
  fs::create_directories(dir / "inner");
  try {
    publish_file_atomically(dir, "x", "registry");
    ADD_FAILURE() << "expected a failure";
  } catch (const RegistryError& e) {
    EXPECT_TRUE(
        std::string(e.what()).starts_with("could not atomically publish registry: Windows error "))
        << e.what();
  }
  EXPECT_TRUE(temporaries_in(env_.state_dir()).empty());
}

TEST(RegistryStatusWords, WordsAndErrorMessages) {
  EXPECT_EQ(registry_status_word(RegistryStatus::committed), "committed");
  EXPECT_EQ(registry_status_word(RegistryStatus::unchanged), "unchanged");
  EXPECT_EQ(registry_status_word(RegistryStatus::precondition_failed), "precondition_failed");
  EXPECT_EQ(registry_status_word(RegistryStatus::lock_timeout), "lock_timeout");
  EXPECT_EQ(registry_status_word(RegistryStatus::cancelled), "cancelled");
  EXPECT_EQ(registry_status_word(static_cast<RegistryStatus>(42)), "io_error");
  EXPECT_STREQ(registry_error("registry load", RegistryStatus::lock_timeout, "").what(),
               "registry load failed: lock_timeout");
  EXPECT_STREQ(registry_error("registry load", RegistryStatus::io_error, "disk gone").what(),
               "registry load failed: io_error: disk gone");
}

}  // namespace
}  // namespace tessik
