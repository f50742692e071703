// The newest lines of a JSON Lines log, within a line count and a byte window.
#include <gtest/gtest.h>

#include "state/jsonl_tail.h"
#include "support/task_fixtures.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

using Lines = std::vector<std::string>;

TEST(JsonlTail, MissingFileAndWholeSmallFile) {
  test::TempEnv env;
  const std::filesystem::path path = env.root() / "log.jsonl";
  JsonlTail tail = read_jsonl_tail(path, 1024, 10);
  EXPECT_FALSE(tail.exists);
  EXPECT_TRUE(tail.lines.empty());

  test::write_file(path, "");
  tail = read_jsonl_tail(path, 1024, 10);
  EXPECT_TRUE(tail.exists);
  EXPECT_TRUE(tail.lines.empty());

  // Blank lines are skipped, white space trimmed, and a last line without its line feed kept.
  test::write_file(path, "{\"a\":1}\n\n  {\"a\":2}\r\n{\"a\":3}");
  tail = read_jsonl_tail(path, 1024, 10);
  EXPECT_EQ(tail.lines, (Lines{"{\"a\":1}", "{\"a\":2}", "{\"a\":3}"}));
  EXPECT_FALSE(tail.truncated);
}

TEST(JsonlTail, LineLimitKeepsTheNewest) {
  test::TempEnv env;
  const std::filesystem::path path = env.root() / "log.jsonl";
  test::write_file(path, "one\ntwo\nthree\nfour\n");
  JsonlTail tail = read_jsonl_tail(path, 1024, 2);
  EXPECT_EQ(tail.lines, (Lines{"three", "four"}));
  EXPECT_TRUE(tail.truncated);
  tail = read_jsonl_tail(path, 1024, 4);
  EXPECT_EQ(tail.lines.size(), 4u);
  EXPECT_FALSE(tail.truncated);
}

TEST(JsonlTail, ByteWindowDropsTheLineItCuts) {
  test::TempEnv env;
  const std::filesystem::path path = env.root() / "log.jsonl";
  test::write_file(path, "first-line\nsecond\nthird\n");
  // The last 12 bytes are "econd\nthird\n": "econd" is the end of a cut line.
  JsonlTail tail = read_jsonl_tail(path, 12, 10);
  EXPECT_EQ(tail.lines, (Lines{"third"}));
  EXPECT_TRUE(tail.truncated);
  // A window that starts exactly on a line start still cannot know that: the line is dropped.
  tail = read_jsonl_tail(path, 13, 10);
  EXPECT_EQ(tail.lines, (Lines{"third"}));
  tail = read_jsonl_tail(path, 14, 10);
  EXPECT_EQ(tail.lines, (Lines{"second", "third"}));
}

}  // namespace
}  // namespace tessik
