// The append file that stays open: records land whole and in order, and a file renamed away
// or removed under it is followed by a fresh file at the same path.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "support/temp_env.h"

namespace tessik::platform {
namespace {

std::string contents(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(AppendFile, FollowsTheFileAtItsPathWhenItIsRotatedOrRemoved) {
  test::TempEnv env;
  const std::filesystem::path log = env.root() / "events.jsonl";
  AppendFile file(log);
  ASSERT_TRUE(file.append("one\n"));
  ASSERT_TRUE(file.append("two\n"));
  EXPECT_EQ(contents(log), "one\ntwo\n");

  // Another process rotates the log: what follows goes to the new file, not the old one.
  std::filesystem::rename(log, env.root() / "events.jsonl.1");
  ASSERT_TRUE(file.append("three\n"));
  EXPECT_EQ(contents(env.root() / "events.jsonl.1"), "one\ntwo\n");
  EXPECT_EQ(contents(log), "three\n");

  std::filesystem::remove(log);
  ASSERT_TRUE(file.append("four\n"));
  EXPECT_EQ(contents(log), "four\n");
  EXPECT_EQ(std::filesystem::status(log).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

TEST(AppendFile, FailsWithoutItsDirectoryAndRecoversOnceItExists) {
  test::TempEnv env;
  const std::filesystem::path directory = env.root() / "later";
  AppendFile file(directory / "log.jsonl");
  EXPECT_FALSE(file.append("lost\n"));
  std::filesystem::create_directory(directory);
  EXPECT_TRUE(file.append("kept\n"));
  EXPECT_EQ(contents(directory / "log.jsonl"), "kept\n");
}

TEST(AppendFile, ConcurrentAppendersThroughOneObjectKeepRecordsWhole) {
  test::TempEnv env;
  const std::filesystem::path log = env.root() / "shared.jsonl";
  AppendFile file(log);
  const std::string record(200, 'r');
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([&] {
      for (int i = 0; i < 250; ++i) ASSERT_TRUE(file.append(record + "\n"));
    });
  }
  for (std::thread& writer : writers) writer.join();
  std::ifstream in(log);
  std::string line;
  int lines = 0;
  while (std::getline(in, line)) {
    EXPECT_EQ(line, record);
    ++lines;
  }
  EXPECT_EQ(lines, 1000);
}

}  // namespace
}  // namespace tessik::platform
