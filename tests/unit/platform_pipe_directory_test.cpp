// Claiming the default pipe directory in the shared /tmp: made 0700 by us, or refused when
// someone else got there first. Runs in a child with a private /tmp of its own, so the real
// /tmp of the machine is never touched.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>

#include "platform/pipe_directory.h"
#include "support/temp_env.h"

namespace tessik::platform {
namespace {

constexpr int kNoPrivateTmp = 77;

// Runs `check` in a child whose /tmp is an empty tmpfs; the child's exit code comes back.
int in_private_tmp(const std::function<int()>& check) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") != 0) {
      ::_exit(kNoPrivateTmp);
    }
    int code = 100;
    try {
      code = check();
    } catch (...) {
      code = 101;
    }
    ::_exit(code);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 200;
}

class DefaultPipeDirectory : public ::testing::Test {
 protected:
  DefaultPipeDirectory() {
    env_.unset("TESSIK_PIPE_DIR");
    env_.unset("XDG_RUNTIME_DIR");
  }
  const std::string default_path_ = "/tmp/tessik-" + std::to_string(::getuid());
  test::TempEnv env_;
};

// 0: refused with the reason in the message, 1: accepted, 2: some other failure.
int claim_outcome(const std::string& reason) {
  try {
    pipe_directory();
    return 1;
  } catch (const std::runtime_error& error) {
    return std::string(error.what()).find(reason) != std::string::npos ? 0 : 2;
  }
}

TEST_F(DefaultPipeDirectory, IsCreatedPrivateWhateverTheUmask) {
  const int code = in_private_tmp([&] {
    ::umask(0);
    const std::filesystem::path made = pipe_directory();
    struct stat info {};
    if (made != default_path_ || ::lstat(made.c_str(), &info) != 0) return 1;
    if ((info.st_mode & 07777) != 0700 || info.st_uid != ::geteuid()) return 2;
    return pipe_directory() == made ? 0 : 3;  // and is used again once it exists
  });
  if (code == kNoPrivateTmp) GTEST_SKIP() << "no private mount namespace here";
  EXPECT_EQ(code, 0);
}

TEST_F(DefaultPipeDirectory, OneThatSomeoneElsePreparedIsRefused) {
  const auto prepared = [&](const std::function<void()>& arrange, const std::string& reason) {
    return in_private_tmp([&] {
      arrange();
      return claim_outcome(reason);
    });
  };
  int code = prepared([&] { ::mkdir(default_path_.c_str(), 0755); }, "its mode is 0755");
  if (code == kNoPrivateTmp) GTEST_SKIP() << "no private mount namespace here";
  EXPECT_EQ(code, 0) << "wider mode";
  EXPECT_EQ(prepared(
                [&] {
                  ::mkdir("/tmp/elsewhere", 0700);
                  ::symlink("/tmp/elsewhere", default_path_.c_str());
                },
                "not a directory"),
            0)
      << "link to a directory";
  EXPECT_EQ(prepared([&] { ::close(::open(default_path_.c_str(), O_CREAT | O_WRONLY, 0600)); },
                     "not a directory"),
            0)
      << "plain file";
  if (::geteuid() != 0) return;
  EXPECT_EQ(prepared(
                [&] {
                  ::mkdir(default_path_.c_str(), 0700);
                  if (::chown(default_path_.c_str(), 4242, 4242) != 0) ::_exit(3);
                },
                "owned by uid 4242"),
            0)
      << "other owner";
}

}  // namespace
}  // namespace tessik::platform
