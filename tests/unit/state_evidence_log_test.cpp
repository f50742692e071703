// Evidence log: record bytes, escaping, append failures, rotation and concurrent writers.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "state/evidence_log.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

namespace fs = std::filesystem;
using test::read_file;

std::vector<std::string> lines_of(const fs::path& path) {
  std::vector<std::string> lines;
  std::istringstream text(read_file(path));
  for (std::string line; std::getline(text, line);)
    lines.push_back(line);
  return lines;
}

TEST(EvidenceRecord, ExactBytesInCallerOrder) {
  EXPECT_EQ(format_evidence_record("a2a_user_broker_stopped", "2026-01-02T03:04:05Z",
                                   {{"session_id", "7"}, {"exit_code", "0"}, {"session_id", "8"}}),
            "{\"event_type\":\"a2a_user_broker_stopped\",\"created_at\":\"2026-01-02T03:04:05Z\","
            "\"session_id\":\"7\",\"exit_code\":\"0\",\"session_id\":\"8\"}\n");
  EXPECT_EQ(format_evidence_record("e", "t", {}), "{\"event_type\":\"e\",\"created_at\":\"t\"}\n");
}

TEST(EvidenceRecord, EscapesEveryPart) {
  const std::string value =
      std::string("line\nquote\"unit\x1f") + "\xC3\x28" + "\xC0\xF5" + "\xED\xA0\x80" + "\x7F";
  EXPECT_EQ(format_evidence_record("ty\"pe", "t\\s", {{"k\ty", value}}),
            "{\"event_type\":\"ty\\\"pe\",\"created_at\":\"t\\\\s\",\"k\\ty\":\""
            "line\\nquote\\\"unit\\u001f\xEF\xBF\xBD(\xEF\xBF\xBD\xEF\xBF\xBD"
            "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\x7F\"}\n");
}

TEST(EvidenceLog, AppendWritesOneParsableLineWithTimestamp) {
  test::TempEnv env;
  const fs::path path = env.root() / "deep" / "logs" / "events.jsonl";
  const EvidenceLog log(path);
  log.append("first", {{"k", "v"}});
  log.append("second", {});
  const auto lines = lines_of(path);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(std::regex_match(
      lines[0],
      std::regex(
          R"(\{"event_type":"first","created_at":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ","k":"v"\})")))
      << lines[0];
  EXPECT_EQ(nlohmann::json::parse(lines[1])["event_type"], "second");
}

TEST(EvidenceLog, AppendFailuresAreReportedAndWriteNothing) {
  test::TempEnv env;
  const fs::path blocker = env.root() / "file";
  std::ofstream(blocker) << "x";
  EXPECT_THROW(EvidenceLog(blocker / "events.jsonl").append("e", {}), fs::filesystem_error);

  const fs::path directory = env.root() / "is-a-directory";
  fs::create_directories(directory);
  try {
    EvidenceLog(directory).append("e", {});
    FAIL() << "appending to a directory should fail";
  } catch (const EvidenceLogError& error) {
    EXPECT_EQ(std::string(error.what()), "could not append evidence log: " + directory.string());
  }
  EXPECT_TRUE(fs::is_empty(directory));
}

TEST(EvidenceLog, RotatesOnlyFromTheMaximumSizeOn) {
  test::TempEnv env;
  const fs::path path = env.root() / "events.jsonl";
  fs::path rotated = path;
  rotated += ".1";
  std::ofstream(path).close();
  fs::resize_file(path, kEvidenceLogMaxBytes - 1);  // 10,485,759 bytes
  std::ofstream(rotated) << "previous generation";

  const EvidenceLog log(path);
  log.append("below", {});
  EXPECT_EQ(read_file(rotated), "previous generation");
  const auto grown = fs::file_size(path);
  EXPECT_GT(grown, kEvidenceLogMaxBytes - 1);

  log.append("above", {});
  EXPECT_EQ(fs::file_size(rotated), grown) << "the full file moves to .1, replacing it";
  const auto lines = lines_of(path);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(nlohmann::json::parse(lines[0])["event_type"], "above");
}

TEST(EvidenceLog, RotationLeavesSmallAndMissingFilesAlone) {
  test::TempEnv env;
  const fs::path path = env.root() / "small.jsonl";
  rotate_log_if_needed(path, 10);  // missing: nothing to do
  EXPECT_FALSE(fs::exists(path));
  std::ofstream(path) << "123456789";
  rotate_log_if_needed(path, 10);
  rotate_log_if_needed(path, 0);  // 0 disables rotation
  EXPECT_EQ(fs::file_size(path), 9u);
  rotate_log_if_needed(path, 9);
  EXPECT_FALSE(fs::exists(path));
  EXPECT_EQ(read_file(env.root() / "small.jsonl.1"), "123456789");
}

TEST(MaintenanceMutex, NameIsFnvOfTheLowerCasedKey) {
  EXPECT_EQ(maintenance_key_hash(""), 1469598103934665603ULL);
  EXPECT_EQ(maintenance_mutex_name("log-rotate:/tmp/A/events.jsonl"),
            "TessikMaintenance-5819999538880427289");
  EXPECT_EQ(maintenance_mutex_name("Log-Rotate:/TMP/a/EVENTS.jsonl"),
            maintenance_mutex_name("log-rotate:/tmp/A/events.jsonl"));
  EXPECT_NE(maintenance_mutex_name("log-rotate:/tmp/b"),
            maintenance_mutex_name("log-rotate:/tmp/c"));
}

TEST(MaintenanceMutex, ExcludesOtherHoldersUntilReleased) {
  test::TempEnv env;
  platform::NamedMutex held = acquire_maintenance_mutex("log-rotate:/x");
  ASSERT_TRUE(held.acquired());
  EXPECT_FALSE(
      platform::NamedMutex::acquire(maintenance_mutex_name("LOG-ROTATE:/X"), 50).acquired());
  held.release();
  EXPECT_TRUE(
      platform::NamedMutex::acquire(maintenance_mutex_name("LOG-ROTATE:/X"), 50).acquired());
}

TEST(EvidenceLog, TwoProcessesAppendingLeaveWholeLines) {
  test::TempEnv env;
  const fs::path path = env.root() / "logs" / "events.jsonl";
  constexpr int kRecords = 5000;
  const std::string padding(300, 'p');
  pid_t children[2];
  for (int writer = 0; writer < 2; ++writer) {
    children[writer] = ::fork();
    ASSERT_GE(children[writer], 0);
    if (children[writer] == 0) {
      const EvidenceLog log(path);
      for (int i = 0; i < kRecords; ++i) {
        log.append("concurrent", {{"writer", std::to_string(writer)},
                                  {"index", std::to_string(i)},
                                  {"padding", padding}});
      }
      ::_exit(0);
    }
  }
  for (const pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  int next_index[2] = {0, 0};
  const auto lines = lines_of(path);
  ASSERT_EQ(lines.size(), 2u * kRecords);
  for (const std::string& line : lines) {
    const auto record = nlohmann::json::parse(line);
    const int writer = std::stoi(record.at("writer").get<std::string>());
    // Each writer's records appear whole and in its own order.
    ASSERT_EQ(std::stoi(record.at("index").get<std::string>()), next_index[writer]++);
    ASSERT_EQ(record.at("padding"), padding);
  }
}

TEST(EvidenceLog, AnOpenLogFollowsItsDirectoryBeingRemovedAndTheFileRotated) {
  test::TempEnv env;
  const fs::path path = env.root() / "logs" / "events.jsonl";
  const EvidenceLog log(path);
  log.append("first", {});
  fs::remove_all(path.parent_path());
  log.append("second", {});
  ASSERT_EQ(lines_of(path).size(), 1u);
  EXPECT_EQ(nlohmann::json::parse(lines_of(path)[0])["event_type"], "second");

  // Over the size limit the next append rotates first and writes into the fresh file.
  fs::resize_file(path, kEvidenceLogMaxBytes);
  log.append("third", {});
  fs::path rotated = path;
  rotated += ".1";
  EXPECT_EQ(fs::file_size(rotated), kEvidenceLogMaxBytes);
  ASSERT_EQ(lines_of(path).size(), 1u);
  EXPECT_EQ(nlohmann::json::parse(lines_of(path)[0])["event_type"], "third");
}

// Logs of one path share an appender across objects; each object still sees the file
// replaced, removed, or its appender dropped for other paths.
TEST(EvidenceLog, LogsOfOnePathShareAnAppenderThatFollowsTheFile) {
  test::TempEnv env;
  const fs::path path = env.root() / "logs" / "delivery.jsonl";
  EXPECT_EQ(shared_append_file(path), shared_append_file(path));
  EXPECT_NE(shared_append_file(path), shared_append_file(env.root() / "logs" / "other.jsonl"));

  EvidenceLog(path).append("first", {});
  const EvidenceLog kept(path);
  // Replaced under its name, as another process's rewrite would.
  fs::rename(path, env.root() / "logs" / "old.jsonl");
  std::ofstream(path) << "{\"event_type\":\"written elsewhere\"}\n";
  EvidenceLog(path).append("second", {});
  fs::remove(path);
  kept.append("third", {});
  // Many other paths asked for: the first path's appender is dropped, not its records.
  for (int i = 0; i < 20; ++i) {
    EvidenceLog(env.root() / "logs" / ("many-" + std::to_string(i) + ".jsonl")).append("x", {});
  }
  kept.append("fourth", {});
  EvidenceLog(path).append("fifth", {});

  const std::vector<std::string> old_lines = lines_of(env.root() / "logs" / "old.jsonl");
  ASSERT_EQ(old_lines.size(), 1u);
  EXPECT_EQ(nlohmann::json::parse(old_lines[0])["event_type"], "first");
  const std::vector<std::string> lines = lines_of(path);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(nlohmann::json::parse(lines[0])["event_type"], "third");
  EXPECT_EQ(nlohmann::json::parse(lines[1])["event_type"], "fourth");
  EXPECT_EQ(nlohmann::json::parse(lines[2])["event_type"], "fifth");
}

}  // namespace
}  // namespace tessik
