// Private state on disk: owner-only directories and files whatever the umask, the start-up
// tightening of wider modes, exclusive creation that never follows a link, hand-over file
// claims, and the removal of temporaries whose writer is gone.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>


#include "platform/durable_file.h"
#include "platform/file_lock.h"
#include "platform/files.h"
#include "support/temp_env.h"

namespace tessik::platform {
namespace {

namespace fs = std::filesystem;
using test::write_file;

unsigned mode_of(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

// Runs the test body under the permissive umask most desktops use, and restores the old one.
class PrivateFilesTest : public ::testing::Test {
 protected:
  PrivateFilesTest() : saved_umask_(::umask(022)) {}
  ~PrivateFilesTest() override { ::umask(saved_umask_); }

  test::TempEnv env_;
  fs::path root_ = env_.root() / "state";

 private:
  mode_t saved_umask_;
};

TEST_F(PrivateFilesTest, NewDirectoriesAndAppendedFilesAreOwnerOnly) {
  std::error_code error;
  create_private_directories(root_ / "a" / "b", error);
  ASSERT_FALSE(error) << error.message();
  EXPECT_EQ(mode_of(root_), 0700u);
  EXPECT_EQ(mode_of(root_ / "a"), 0700u);
  EXPECT_EQ(mode_of(root_ / "a" / "b"), 0700u);
  // An existing directory is left alone: it may be the user's home.
  ::chmod(env_.root().c_str(), 0755);
  create_private_directories(env_.root(), error);
  EXPECT_EQ(mode_of(env_.root()), 0755u);

  ASSERT_TRUE(append_to_file(root_ / "a" / "log.jsonl", "one\n"));
  EXPECT_EQ(mode_of(root_ / "a" / "log.jsonl"), 0600u);

  EXPECT_TRUE(create_private_directory(root_ / "lock", error));
  EXPECT_EQ(mode_of(root_ / "lock"), 0700u);
  EXPECT_FALSE(create_private_directory(root_ / "lock", error));
  EXPECT_FALSE(error);  // already there: the lock is taken, not a failure
  write_file(root_ / "file", "x");
  EXPECT_FALSE(create_private_directory(root_ / "file", error));
  EXPECT_TRUE(error);
  create_private_directories(root_ / "file" / "below", error);
  EXPECT_TRUE(error);
}

TEST_F(PrivateFilesTest, TighteningNarrowsOwnEntriesAndNeverFollowsLinks) {
  fs::create_directories(root_ / "logs");
  write_file(root_ / "logs" / "events.jsonl", "{}\n");
  write_file(root_ / "top.tsv", "x");
  ::chmod(root_.c_str(), 0755);
  ::chmod((root_ / "logs").c_str(), 0775);
  ::chmod((root_ / "logs" / "events.jsonl").c_str(), 0644);
  ::chmod((root_ / "top.tsv").c_str(), 0666);
  const fs::path outside = env_.root() / "outside.txt";
  write_file(outside, "not ours to change");
  ::chmod(outside.c_str(), 0644);
  fs::create_symlink(outside, root_ / "link");
  fs::create_directory_symlink(env_.root(), root_ / "dirlink");

  EXPECT_EQ(tighten_private_tree(root_), 4u);
  EXPECT_EQ(mode_of(root_), 0700u);
  EXPECT_EQ(mode_of(root_ / "logs"), 0700u);
  EXPECT_EQ(mode_of(root_ / "logs" / "events.jsonl"), 0600u);
  EXPECT_EQ(mode_of(root_ / "top.tsv"), 0600u);
  EXPECT_EQ(mode_of(outside), 0644u);
  EXPECT_EQ(tighten_private_tree(root_), 0u);
  EXPECT_EQ(tighten_private_tree(root_ / "missing"), 0u);
}

TEST_F(PrivateFilesTest, ExclusiveCreationRefusesAPlantedLinkAndSetsTheModeFromTheStart) {
  fs::create_directories(root_);
  const fs::path victim = env_.root() / "victim.txt";
  write_file(victim, "precious");
  fs::create_symlink(victim, root_ / "planted");
  int code = 0;
  EXPECT_EQ(create_new_file(root_ / "planted", 0600, code), kInvalidFileHandle);
  EXPECT_EQ(code, file_exists_error_code());
  EXPECT_EQ(test::read_file(victim), "precious");

  const FileHandle handle = create_new_file(root_ / "fresh", 0600, code);
  ASSERT_NE(handle, kInvalidFileHandle);
  EXPECT_EQ(mode_of(root_ / "fresh"), 0600u);
  EXPECT_TRUE(close_file(handle, code));
}

TEST_F(PrivateFilesTest, AClaimedFileIsBusyForOthersAndGoneOnceRemoved) {
  fs::create_directories(root_);
  const fs::path file = root_ / "request.json";
  write_file(file, "{}");
  int code = 0;
  const LockHandle first = open_existing_lock_file(file, code);
  ASSERT_NE(first, kInvalidLockHandle);
  ASSERT_EQ(try_lock_whole_file(first, code), LockAttempt::acquired);
  EXPECT_TRUE(lock_file_is_linked_at(first, file));

  const LockHandle second = open_existing_lock_file(file, code);
  ASSERT_NE(second, kInvalidLockHandle);
  EXPECT_EQ(try_lock_whole_file(second, code), LockAttempt::busy);
  // The first holder consumes the file: the second gets the lock but must see it is gone.
  ::unlink(file.c_str());
  close_lock_file(first);
  ASSERT_EQ(try_lock_whole_file(second, code), LockAttempt::acquired);
  EXPECT_FALSE(lock_file_is_linked_at(second, file));
  close_lock_file(second);

  EXPECT_EQ(open_existing_lock_file(file, code), kInvalidLockHandle);  // never created
  EXPECT_FALSE(fs::exists(file));
  write_file(env_.root() / "target", "{}");
  fs::create_symlink(env_.root() / "target", file);
  EXPECT_EQ(open_existing_lock_file(file, code), kInvalidLockHandle);  // never followed
}

TEST_F(PrivateFilesTest, OnlyTemporariesOfGoneWritersAreRemoved) {
  fs::create_directories(root_ / "registry");
  const std::string id = "0123456789abcdef0123456789abcdef";
  // A process id that certainly ran and is gone: a reaped child's.
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ASSERT_GT(child, 0);
  ::waitpid(child, nullptr, 0);

  const fs::path mine = temporary_sibling_path(root_ / "registry" / "agents.tsv");
  EXPECT_EQ(mine.filename().string().rfind("agents.tsv.tmp." + std::to_string(::getpid()) + "-", 0),
            0u);
  const fs::path dead = root_ / "registry" / ("agents.tsv.tmp." + std::to_string(child) + "-" + id);
  const fs::path old_style = root_ / ("local-token.tmp." + id);
  const fs::path data = root_ / "registry" / "note.tmp.keep";
  for (const fs::path& path : {mine, dead, old_style, data})
    write_file(path, "x");

  EXPECT_EQ(remove_abandoned_temporaries(root_), 2u);
  EXPECT_TRUE(fs::exists(mine));
  EXPECT_FALSE(fs::exists(dead));
  EXPECT_FALSE(fs::exists(old_style));
  EXPECT_TRUE(fs::exists(data));
}

TEST_F(PrivateFilesTest, AClaimedFileIsReadWholeThroughItsHandleWithinItsLimit) {
  fs::create_directories(root_);
  const fs::path file = root_ / "request.json";
  write_file(file, "0123456789");
  int code = 0;
  const LockHandle handle = open_existing_lock_file(file, code);
  ASSERT_NE(handle, kInvalidLockHandle) << code;
  std::string text;
  ASSERT_TRUE(read_lock_file(handle, 10, text));
  EXPECT_EQ(text, "0123456789");
  // A second read starts from the beginning again, and the file's new name does not matter.
  fs::rename(file, root_ / "moved.json");
  ASSERT_TRUE(read_lock_file(handle, 10, text));
  EXPECT_EQ(text, "0123456789");
  EXPECT_FALSE(read_lock_file(handle, 9, text));
  close_lock_file(handle);
}

}  // namespace
}  // namespace tessik::platform
