// The task log index replayed against full reads of the log: after every change to the file
// (appends by this and another process, rewrites of an id, damaged and unfinished lines, CRLF,
// replacement, in-place rewrite, removal) the indexed answers equal those of a full scan.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>

#include "a2a/tasks/log_scan/task_index.h"
#include "a2a/tasks/log_scan/task_line_scan.h"
#include "a2a/tasks/task_json.h"
#include "a2a/tasks/task_log.h"
#include "a2a/tasks/task_queries.h"
#include "base/text.h"
#include "support/command_run.h"
#include "support/task_fixtures.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

using test::read_file;
using test::stored_task;
using test::write_file;

// The latest line of each id, ordered by where it stands: the log replayed line by line.
std::vector<std::string> replayed_latest_lines(const std::filesystem::path& log) {
  std::map<std::string, std::pair<std::uint64_t, std::string>> latest;  // id -> (line no, text)
  std::uint64_t number = 0;
  for_each_task_log_line(log, [&](std::string_view line, std::uint64_t) {
    ++number;
    const std::optional<TaskLineSummary> summary = scan_task_line(line);
    if (!summary || trim(summary->id).empty()) return;
    latest[summary->id] = {number, std::string(line)};
  });
  std::map<std::uint64_t, std::string> by_place;
  for (const auto& [id, place] : latest)
    by_place.emplace(place.first, place.second);
  std::vector<std::string> lines;
  for (const auto& [place, line] : by_place)
    lines.push_back(line);
  return lines;
}

std::string line_of(const TaskRecord& task) {
  return task_to_json_v1(task);
}

TaskRecord task(int number, const std::string& timestamp,
                const std::string& state = kTaskStateWorking) {
  TaskRecord record = stored_task("t-" + std::to_string(number),
                                  "client-" + std::to_string(number % 3), timestamp, state);
  if (number % 4 == 0) record.context_id = "ctx-" + std::to_string(number % 8);
  return record;
}

void append_raw(const std::filesystem::path& log, const std::string& bytes) {
  std::ofstream out(log, std::ios::binary | std::ios::app);
  out << bytes;
}

class TaskIndexReplayTest : public ::testing::Test {
 protected:
  // Every indexed answer against the full scan of the file as it is now.
  void expect_agrees_with_full_scan(const std::string& step) {
    SCOPED_TRACE(step);
    const std::vector<std::string> expected = replayed_latest_lines(log_);
    EXPECT_EQ(read_latest_task_lines(log_), expected);

    index_.refresh();
    std::vector<std::uint32_t> live;
    for (std::uint32_t slot = 0; slot < index_.slot_count(); ++slot) {
      if (index_.live(slot)) live.push_back(slot);
    }
    ASSERT_EQ(index_.read_lines(live), expected);
    ASSERT_EQ(index_.task_count(), expected.size());
    for (std::size_t k = 0; k < live.size(); ++k) {
      const LatestTaskLine got = index_.line(live[k]);
      const TaskLineSummary want = scan_task_line(expected[k]).value();
      EXPECT_EQ(got.id, want.id);
      EXPECT_EQ(got.context_id, want.context_id);
      EXPECT_EQ(got.state, want.state);
      EXPECT_EQ(got.timestamp, want.timestamp);
      EXPECT_EQ(got.requester_client_id, want.requester_client_id);
      EXPECT_EQ(got.requester_agent, want.requester_agent);
      EXPECT_EQ(got.requester_node, want.requester_node);
    }

    // Each full-scan lookup reads the whole log: a spread of ids stands for a large one.
    std::vector<std::string> ids = {"", "  ", "missing", " t-1 ", "t-1 "};
    const std::size_t stride = expected.size() / 150 + 1;
    for (std::size_t k = 0; k < expected.size(); k += stride)
      ids.push_back(scan_task_line(expected[k])->id);
    if (!expected.empty()) ids.push_back(scan_task_line(expected.back())->id);
    for (const std::string& id : ids) {
      EXPECT_EQ(find_latest_task_line_indexed(log_, id), find_latest_task_line(log_, id))
          << "id '" << id << "'";
    }
    expect_lists_match_a_fresh_index();
  }

  // ListTasks through the broker's long-lived index of the log against one built from nothing
  // for a copy of it (a new file, so its index reads it whole).
  void expect_lists_match_a_fresh_index() {
    const std::filesystem::path staged = env_.root() / "copy.tmp";
    std::filesystem::remove(staged);
    if (std::filesystem::exists(log_)) {
      std::filesystem::copy_file(log_, staged);
      std::filesystem::rename(staged, copy_);  // a new file every time
    } else {
      std::filesystem::remove(copy_);
    }

    GatewayContext live_context;
    live_context.tasks_path = log_;
    GatewayContext copy_context;
    copy_context.tasks_path = copy_;
    const Principal admin = test::client_principal("client-0", {"task.read", "task.admin"});
    const Principal owner = test::client_principal("client-1", {"task.read"});
    std::vector<TaskListParams> queries(5);
    queries[1].page_size = "3";
    queries[1].page_token = "t-7";
    queries[2].status = "canceled";
    queries[3].context_id = "ctx-4";
    queries[4].status_timestamp_after = "2026-01-02";
    for (const Principal* principal : {&admin, &owner}) {
      for (const TaskListParams& query : queries) {
        const TaskOperationResult live = list_tasks(live_context, *principal, query, "1.0");
        const TaskOperationResult fresh = list_tasks(copy_context, *principal, query, "1.0");
        EXPECT_EQ(live.ok(), fresh.ok());
        EXPECT_EQ(live.body, fresh.body);
      }
    }
  }

  test::TempEnv env_;
  std::filesystem::path log_ = env_.state_dir() / "a2a" / "tasks.jsonl";
  std::filesystem::path copy_ = env_.root() / "copy.jsonl";
  TaskLogIndex index_{log_};
};

TEST_F(TaskIndexReplayTest, AgreesAfterAppendsRewritesAndDamagedLines) {
  expect_agrees_with_full_scan("no log yet");
  std::string text;
  for (int i = 0; i < 40; ++i)
    text += line_of(task(i, "2026-01-01T00:00:" + std::to_string(10 + i % 30) + "Z")) + "\n";
  text += "\n   \nnot json\n{}\n{\"id\":\"  \"}\n";
  text += line_of(task(7, "2026-01-03T00:00:00Z", kTaskStateCanceled)) + "\r\n";
  text += line_of(task(3, "2026-01-01T00:00:20Z", kTaskStateCompleted)) + "\r\n";
  write_file(log_, text);
  expect_agrees_with_full_scan("first read");
  EXPECT_EQ(index_.rebuild_count(), 1u);

  append_task_record(log_, task(7, "2026-01-04T00:00:00Z", kTaskStateCanceled));
  append_task_record(log_, task(40, "2026-01-02T00:00:00Z"));
  append_raw(log_, "{\"id\":\"t-2\",\"status\":\n");  // damaged, then a good line after it
  append_task_record(log_, task(2, "2026-01-05T00:00:00Z", kTaskStateCanceled));
  expect_agrees_with_full_scan("appended by this process");
  EXPECT_EQ(index_.rebuild_count(), 1u) << "growth must not read the log again";

  const std::filesystem::path extra = env_.root() / "extra.jsonl";
  write_file(extra, line_of(task(41, "2026-01-06T00:00:00Z")) + "\n" +
                        line_of(task(5, "2026-01-06T00:00:00Z", kTaskStateCanceled)) + "\n");
  ASSERT_EQ(std::system(("cat " + test::shell_quote(extra.string()) + " >> " +
                         test::shell_quote(log_.string()))
                            .c_str()),
            0);
  expect_agrees_with_full_scan("appended by another process");
  EXPECT_EQ(index_.rebuild_count(), 1u);
}

TEST_F(TaskIndexReplayTest, UnfinishedLastLineCountsOnlyWhileItReadsAsATask) {
  append_task_record(log_, task(1, "2026-01-01T00:00:00Z"));
  append_task_record(log_, task(2, "2026-01-01T00:00:00Z"));
  const std::string rewrite = line_of(task(1, "2026-01-02T00:00:00Z", kTaskStateCanceled));
  append_raw(log_, rewrite.substr(0, rewrite.size() / 2));
  expect_agrees_with_full_scan("half a rewrite");
  append_raw(log_, rewrite.substr(rewrite.size() / 2));
  expect_agrees_with_full_scan("the whole rewrite, no line break yet");
  EXPECT_EQ(index_.line(*index_.find("t-1")).state, kTaskStateCanceled);
  append_raw(log_, "\r\n   ");
  expect_agrees_with_full_scan("line break and blanks");
  append_raw(log_, line_of(task(3, "2026-01-03T00:00:00Z")));
  expect_agrees_with_full_scan("a new task without a line break");
  append_task_record(log_, task(1, "2026-01-04T00:00:00Z"));  // ends the line first
  expect_agrees_with_full_scan("appended after the unfinished line");
  EXPECT_EQ(index_.rebuild_count(), 1u);
}

TEST_F(TaskIndexReplayTest, ReplacedShrunkOrRewrittenLogIsReadAgain) {
  for (int i = 0; i < 10; ++i)
    append_task_record(log_, task(i, "2026-01-01T00:00:00Z"));
  expect_agrees_with_full_scan("original");

  // Another file of the same size moved over the log: only its identity tells.
  std::string replacement = read_file(log_);
  replacement.replace(replacement.find("t-3"), 3, "t-9");
  const std::filesystem::path staged = env_.root() / "replacement.jsonl";
  write_file(staged, replacement);
  std::filesystem::rename(staged, log_);
  expect_agrees_with_full_scan("replaced by a file of the same size");
  EXPECT_EQ(index_.rebuild_count(), 2u);

  write_file(log_, line_of(task(20, "2026-01-01T00:00:00Z")) + "\n");  // same file, shorter
  expect_agrees_with_full_scan("shrunk");
  EXPECT_EQ(index_.rebuild_count(), 3u);

  // Rewritten in place to a longer text: same file, not shorter, different bytes.
  std::string longer;
  for (int i = 30; i < 35; ++i)
    longer += line_of(task(i, "2026-01-01T00:00:00Z")) + "\n";
  write_file(log_, longer);
  expect_agrees_with_full_scan("rewritten in place");
  EXPECT_EQ(index_.rebuild_count(), 4u);

  std::filesystem::remove(log_);
  expect_agrees_with_full_scan("removed");
  EXPECT_EQ(index_.task_count(), 0u);
  append_task_record(log_, task(50, "2026-01-01T00:00:00Z"));
  expect_agrees_with_full_scan("created again");
}

// Enough rewrites that the index drops its dead entries; answers and growth stay the same.
TEST_F(TaskIndexReplayTest, ManyRewritesCompactWithoutChangingAnswers) {
  std::string text;
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 3000; ++i) {
      const std::string state = round == 2 && i % 5 == 0 ? kTaskStateCanceled : kTaskStateWorking;
      text += line_of(task(i * 7 % 3000, "2026-01-0" + std::to_string(round + 1) + "T00:00:00Z",
                           state)) +
              "\n";
    }
    if (round == 0) {
      write_file(log_, text);
      text.clear();
      expect_agrees_with_full_scan("first round");
    }
  }
  append_raw(log_, text);
  expect_agrees_with_full_scan("after 6000 rewrites");
  EXPECT_EQ(index_.rebuild_count(), 1u);
  EXPECT_LT(index_.slot_count(), 2 * index_.task_count()) << "dead entries were not dropped";
  append_task_record(log_, task(11, "2026-01-09T00:00:00Z"));
  expect_agrees_with_full_scan("appended after compaction");
}

// A client-chosen id longer than a read chunk, and ids that differ only by blanks around them.
TEST_F(TaskIndexReplayTest, UnusualIdsAreFoundExactlyAsTheFullScanFindsThem) {
  TaskRecord long_id = task(1, "2026-01-01T00:00:00Z");
  long_id.id = std::string(300'000, 'k');
  TaskRecord padded = task(2, "2026-01-01T00:00:00Z");
  padded.id = " t-2";
  append_task_record(log_, long_id);
  append_task_record(log_, padded);
  append_task_record(log_, task(2, "2026-01-02T00:00:00Z"));
  expect_agrees_with_full_scan("long and padded ids");
  EXPECT_EQ(find_latest_task_line_indexed(log_, long_id.id), line_of(long_id));
  EXPECT_EQ(index_.task_count(), 3u);
}

}  // namespace
}  // namespace tessik
