// The task log: appending, finding latest records past damaged lines, write failures, the
// fast line scanner against the JSON library, and the continuation rule.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>

#include "a2a/intake/task_continuation.h"
#include "a2a/tasks/log_scan/task_index.h"
#include "a2a/tasks/task_json.h"
#include "a2a/tasks/log_scan/task_line_scan.h"
#include "a2a/tasks/task_log.h"
#include "base/json_depth.h"
#include "support/task_fixtures.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

using test::read_file;
using test::stored_task;
using test::write_file;

class TaskLogTest : public ::testing::Test {
 protected:
  test::TempEnv env_;
  std::filesystem::path log_ = env_.state_dir() / "a2a" / "tasks.jsonl";
};

TEST_F(TaskLogTest, AppendCreatesDirectoriesAndWritesOneLinePerRecord) {
  const TaskRecord task = stored_task("t1", "c", "2026-01-01T00:00:00Z");
  append_task_record(log_, task);
  append_task_record(log_, task);
  EXPECT_EQ(read_file(log_), task_to_json_v1(task) + "\n" + task_to_json_v1(task) + "\n");
}

TEST_F(TaskLogTest, LatestRecordWinsAndKeepsItsPlace) {
  append_task_record(log_, stored_task("a", "c", "1"));
  append_task_record(log_, stored_task("b", "c", "2"));
  TaskRecord changed = stored_task("a", "c", "3", kTaskStateCanceled);
  append_task_record(log_, changed);
  EXPECT_EQ(find_latest_task_line(log_, " a "), task_to_json_v1(changed));
  EXPECT_FALSE(find_latest_task_line(log_, "").has_value());
  EXPECT_FALSE(find_latest_task_line(log_, "zz").has_value());
  const std::vector<std::string> lines = read_latest_task_lines(log_);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(parse_task_record(lines[0])->id, "b");
  EXPECT_EQ(lines[1], task_to_json_v1(changed));
}

// Enough ids to grow the id table several times, more distinct owners and states than the
// index shares copies of, context ids equal to and different from the id, revisions that
// move a task to the end, and one record longer than a read chunk.
TEST_F(TaskLogTest, LatestLinesAgreeWithAPlainReplayOfTheLog) {
  std::vector<std::pair<std::string, std::string>> written;  // (id, line) in log order
  std::string log_text;
  const auto add = [&](const TaskRecord& task) {
    const std::string line = task_to_json_v1(task);
    written.emplace_back(task.id, line);
    log_text += line + "\n";
  };
  for (int i = 0; i < 3000; ++i) {
    TaskRecord task = stored_task("t" + std::to_string(i), "client-" + std::to_string(i % 50),
                                  "2026-01-01T00:00:00Z");
    if (i % 3 == 0) task.context_id = task.id;
    if (i == 1234) task.history = "[\"" + std::string(600'000, 'x') + "\"]";
    add(task);
  }
  for (int i = 2999; i >= 0; i -= 7) {
    add(stored_task("t" + std::to_string(i), "client-" + std::to_string(i % 50),
                    "2026-02-01T00:00:00Z", "TASK_STATE_CUSTOM_" + std::to_string(i % 40)));
  }
  write_file(log_, log_text);

  // The reference: the last line of each id, ordered by where that line stands.
  std::map<std::string, std::size_t> last;
  for (std::size_t i = 0; i < written.size(); ++i)
    last[written[i].first] = i;
  std::vector<std::size_t> expected;
  for (const auto& [id, index] : last)
    expected.push_back(index);
  std::sort(expected.begin(), expected.end());

  TaskLogIndex index(log_);
  index.refresh();
  std::vector<LatestTaskLine> latest;
  for (std::uint32_t slot = 0; slot < index.slot_count(); ++slot) {
    if (index.live(slot)) latest.push_back(index.line(slot));
  }
  ASSERT_EQ(latest.size(), expected.size());
  const std::vector<std::string> texts = read_latest_task_lines(log_);
  ASSERT_EQ(texts.size(), expected.size());
  for (std::size_t k = 0; k < expected.size(); ++k) {
    const std::string& line = written[expected[k]].second;
    const LatestTaskLine& got = latest[k];
    const std::optional<TaskLineSummary> want = scan_task_line(line);
    ASSERT_TRUE(want.has_value());
    ASSERT_EQ(texts[k], line) << "position " << k;
    EXPECT_EQ(got.id, want->id);
    EXPECT_EQ(got.context_id, want->context_id);
    EXPECT_EQ(got.state, want->state);
    EXPECT_EQ(got.timestamp, want->timestamp);
    EXPECT_EQ(got.requester_client_id, want->requester_client_id);
    EXPECT_EQ(got.requester_agent, want->requester_agent);
    EXPECT_EQ(got.requester_node, want->requester_node);
  }
}

// Reading ahead on a second thread must visit exactly what reading on one thread does: lines
// across chunk ends, a line longer than two chunks, blank and padded lines, CRLF, and a last
// line without a line break.
TEST_F(TaskLogTest, ReadingAheadVisitsTheSameLinesAtTheSameOffsets) {
  std::string text;
  for (int i = 0; text.size() < 3'000'000; ++i) {
    text += std::string(static_cast<std::size_t>(i * 7919 % 1500), static_cast<char>('a' + i % 26));
    text += i % 5 == 0 ? "\r\n" : i % 7 == 0 ? "  \n\n   \n" : "\n";
    if (i == 300) text += "  " + std::string(700'000, 'L') + "  \n";
  }
  text += "last line without a break";
  write_file(log_, text);

  using Visited = std::vector<std::pair<std::string, std::uint64_t>>;
  const auto read = [&](std::uint64_t read_ahead_from) {
    Visited visited;
    for_each_task_log_line(
        log_, [&](std::string_view line, std::uint64_t at) { visited.emplace_back(line, at); },
        read_ahead_from);
    return visited;
  };
  const Visited plain = read(std::numeric_limits<std::uint64_t>::max());
  const Visited ahead = read(0);
  ASSERT_GT(plain.size(), 3000u);
  EXPECT_EQ(plain.back().first, "last line without a break");
  for (const auto& [line, at] : plain)
    ASSERT_EQ(text.compare(at, line.size(), line), 0) << "offset " << at;
  EXPECT_TRUE(ahead == plain);
}

TEST_F(TaskLogTest, DamagedLinesAreSkippedAndOthersKeepWorking) {
  const std::string good_a = task_to_json_v1(stored_task("a", "c", "1"));
  const std::string good_b = task_to_json_v1(stored_task("b", "c", "2"));
  write_file(log_, "\n   \n{}\nnot json at all\n" + good_a + "\n{\"contextId\":\"no-id\"}\n" +
                       "{\"id\":\"   \"}\n\x01\x02garbage\n" + good_b + "\r\n" +
                       good_a.substr(0, good_a.size() / 2));  // cut off mid-record
  const std::vector<std::string> lines = read_latest_task_lines(log_);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], good_a);  // the truncated copy of "a" does not replace it
  EXPECT_EQ(lines[1], good_b);
  EXPECT_EQ(find_latest_task_line(log_, "a"), good_a);

  // A record appended after the cut line starts on a line of its own and is found.
  const TaskRecord c = stored_task("c", "c", "3");
  append_task_record(log_, c);
  EXPECT_EQ(find_latest_task_line(log_, "c"), task_to_json_v1(c));
  EXPECT_EQ(read_latest_task_lines(log_).size(), 3u);
}

TEST_F(TaskLogTest, LinesNestedTooDeepAreSkippedWithoutRecursing) {
  const std::string good = task_to_json_v1(stored_task("a", "c", "1"));
  const std::string deep_status = std::string(100'000, '[') + std::string(100'000, ']');
  const std::string just_too_deep =
      std::string(kMaxStoredJsonNestingDepth, '[') + std::string(kMaxStoredJsonNestingDepth, ']');
  write_file(log_, good + "\n" + R"({"id":"deep","contextId":"c","status":)" + deep_status + "}\n" +
                       R"({"id":"a","contextId":"c","status":)" + just_too_deep + "}\n");
  const std::vector<std::string> lines = read_latest_task_lines(log_);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], good);
  EXPECT_FALSE(find_latest_task_line(log_, "deep").has_value());
  EXPECT_EQ(find_latest_task_line(log_, "a"), good);
  EXPECT_FALSE(scan_task_line(R"({"id":"x","status":)" + deep_status + "}").has_value());
  EXPECT_FALSE(parse_task_record(R"({"id":"x","status":)" + deep_status + "}").has_value());
}

TEST_F(TaskLogTest, MissingLogReadsAsEmpty) {
  EXPECT_TRUE(read_latest_task_lines(log_).empty());
  EXPECT_FALSE(find_latest_task_line(log_, "a").has_value());
  TaskLogIndex index(log_);
  index.refresh();
  EXPECT_EQ(index.task_count(), 0u);
  EXPECT_FALSE(index.find("a").has_value());
}

TEST_F(TaskLogTest, UnwritableLogThrowsWithPathAndLosesNothing) {
  std::filesystem::create_directories(log_);  // a directory where the file should be
  try {
    append_task_record(log_, stored_task("a", "c", "1"));
    FAIL() << "append to a directory succeeded";
  } catch (const TaskLogWriteError& error) {
    EXPECT_EQ(std::string(error.what()), "could not write A2A task log: " + log_.string());
  }

  const std::filesystem::path blocked = env_.root() / "plain-file" / "tasks.jsonl";
  write_file(env_.root() / "plain-file", "x");
  EXPECT_THROW(append_task_record(blocked, stored_task("a", "c", "1")),
               std::filesystem::filesystem_error);
}

TEST_F(TaskLogTest, FailedAppendLeavesStoredRecordsIntact) {
  append_task_record(log_, stored_task("a", "c", "1"));
  const std::string before = read_file(log_);
  {
    test::FileSizeLimit limit(std::filesystem::file_size(log_));
    EXPECT_THROW(append_task_record(log_, stored_task("b", "c", "2")), TaskLogWriteError);
  }
  EXPECT_EQ(read_file(log_), before);
  EXPECT_TRUE(find_latest_task_line(log_, "a").has_value());
}

TEST(TaskLineScanTest, AgreesWithTheJsonLibraryOnTrickyLines) {
  const std::vector<std::string> lines = {
      task_to_json_v1(stored_task("plain", "c", "2026")),
      R"({"id":"\u0061b\"c","status":{"state":"X","timestamp":"T"},"metadata":{"tessikRequesterClientId":"\ud83d\ude00"}})",
      R"({"id":"a","id":"b","status":{"state":"1"},"status":{"timestamp":"2"}})",
      R"({"id":7,"contextId":null,"status":"{\"state\":\"S\"}","metadata":[1,2]})",
      R"({"history":[{"id":"inner"}],"id":"outer","n":-0.5e+3,"t":true,"f":false,"z":null})",
      R"(  {"id":"x"}  )",
      "\xEF\xBB\xBF{\"id\":\"bom\"}",
      "{\"id\":\"caf\xC3\xA9\",\"k\":\"\xE2\x82\xAC\xF0\x9F\x98\x80\"}",
      // Refused by both:
      R"({"id":"x"} trailing)",
      R"({"id":"x",})",
      R"({"id":"x" "y":1})",
      R"({"id":01})",
      R"({"id":"\ud83d"})",
      R"({"id":"\udc00x"})",
      R"({"id":"\q"})",
      R"({"id":1.})",
      "{\"id\":\"a\x01\"}",
      "{\"id\":\"\xC0\xAF\"}",
      "{\"id\":\"\xED\xA0\x80\"}",
      "{\"id\":\"\xF4\x90\x80\x80\"}",
      R"({"id":"x","v":tru})",
      R"({"id":"x","v":[1,]})",
      R"({"id":"x")",
      R"({"id":)",
      "[",
      R"("just a string")",
      "42",
      R"({"id":1e999})",
  };
  for (const std::string& line : lines) {
    EXPECT_EQ(scan_task_line(line), summarize_task_line_slowly(line)) << line;
  }
  const auto plain = scan_task_line(lines[0]);
  ASSERT_TRUE(plain.has_value());
  EXPECT_EQ(plain->requester_client_id, "c");
  EXPECT_EQ(plain->state, "TASK_STATE_WORKING");
  EXPECT_EQ(scan_task_line(lines[1])->id, "ab\"c");
  EXPECT_EQ(scan_task_line(lines[2])->id, "b");
  EXPECT_EQ(scan_task_line(lines[2])->state, "");  // the later "status" replaces the earlier
  EXPECT_EQ(scan_task_line(lines[3])->state, "S");
  EXPECT_EQ(scan_task_line(lines[4])->id, "outer");
}

class TaskContinuationTest : public TaskLogTest {
 protected:
  TaskSendInput follow_up(const std::string& task_id) {
    TaskSendInput send = test::sample_send("m-2", "again");
    send.task_id = task_id;
    return send;
  }
  std::vector<AgentRecord> agents_ = {test::mailbox_agent()};
  Principal owner_ = test::client_principal("client-a", {"agent.send"});
};

TEST_F(TaskContinuationTest, ContinuingTakesOverContextHistoryAndTarget) {
  const TaskRecord first =
      create_task_from_send(test::sample_send(), test::accepted_outcome(), test::mailbox_agent());
  append_task_record(log_, first);
  TaskSendInput send = follow_up(first.id);
  send.target_agent = "MAILBOX";  // an alias of the same agent
  const TaskContinuation verdict = check_task_continuation(send, log_, owner_, agents_);
  EXPECT_EQ(verdict.code, TaskContinuationCode::new_task);
  EXPECT_TRUE(verdict.continued);
  EXPECT_EQ(send.context_id, first.context_id);
  EXPECT_EQ(send.target_id, "pub-mailbox");
  EXPECT_EQ(send.target_agent, "Tessik Mailbox");

  const TaskRecord second = create_task_from_send(send, test::accepted_outcome());
  EXPECT_EQ(second.id, first.id);
  const nlohmann::json history = nlohmann::json::parse(second.history);
  ASSERT_EQ(history.size(), 2u);
  EXPECT_EQ(history[0]["role"], "ROLE_USER");
  EXPECT_EQ(history[1]["messageId"], "m-2");
}

TEST_F(TaskContinuationTest, RefusalsInTheirOrder) {
  using Code = TaskContinuationCode;
  append_task_record(log_, stored_task("working", "client-a", "1"));
  append_task_record(log_, stored_task("done", "client-a", "1", kTaskStateCompleted));
  append_task_record(log_, stored_task("foreign", "client-b", "1"));
  TaskRecord orphan = stored_task("orphan", "client-a", "1");
  orphan.target_agent = "gone";
  orphan.target_provider_session_id = "gone:1";
  append_task_record(log_, orphan);

  const auto verdict = [&](TaskSendInput send) {
    return check_task_continuation(send, log_, owner_, agents_).code;
  };
  EXPECT_EQ(verdict(follow_up("")), Code::new_task);
  EXPECT_EQ(verdict(follow_up("missing")), Code::not_found);
  EXPECT_EQ(verdict(follow_up("foreign")), Code::not_found);
  EXPECT_EQ(verdict(follow_up("done")), Code::terminal);
  TaskSendInput other_context = follow_up("working");
  other_context.context_id = "elsewhere";
  EXPECT_EQ(verdict(other_context), Code::context_mismatch);
  EXPECT_EQ(verdict(follow_up("orphan")), Code::target_gone);
  TaskSendInput other_target = follow_up("working");
  other_target.target_id = "pub-someone-else";
  EXPECT_EQ(verdict(other_target), Code::target_mismatch);
  TaskSendInput other_name = follow_up("working");
  other_name.target_agent = "bob";
  EXPECT_EQ(verdict(other_name), Code::target_mismatch);

  Principal admin = test::client_principal("client-b", {"task.admin"});
  TaskSendInput as_admin = follow_up("working");
  EXPECT_TRUE(check_task_continuation(as_admin, log_, admin, agents_).continued);

  const TaskError terminal = task_continuation_error(Code::terminal);
  EXPECT_EQ(terminal.http_status, 400);
  EXPECT_EQ(terminal.local_code, "UnsupportedOperationError");
  EXPECT_EQ(terminal.message, "Messages cannot be sent to a terminal task.");
  EXPECT_EQ(task_continuation_error(Code::target_gone).message,
            "Referenced task target is no longer available.");
  EXPECT_EQ(task_continuation_error(Code::context_mismatch).json_rpc_message, "Invalid parameters");
  EXPECT_EQ(task_continuation_error(Code::corrupt).http_status, 500);
}

}  // namespace
}  // namespace tessik
