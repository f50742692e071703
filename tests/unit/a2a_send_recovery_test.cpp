// Start-up recovery of interrupted sends: each submitted task is settled from what the request
// files and the delivery log show, left request files are resumed or removed, and abandoned
// publish temporaries go.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "a2a/intake/send_recovery.h"
#include "a2a/tasks/task_json.h"
#include "a2a/tasks/task_log.h"
#include "a2a/tasks/task_record.h"
#include "pipeline/delivery_request.h"
#include "pipeline/delivery_stage.h"
#include "state/state_dir.h"
#include "support/build_paths.h"
#include "support/delivery_env.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const std::string kFakeWorker = std::string(TESSIK_HELPER_DIR) + "/fake_delivery_worker";

class SendRecoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.set("FAKE_WORKER_RECORD", record_.string());
    ensure_state_directories();
  }

  // Stores a task that only got its submitted record, for message `message_id`.
  std::string submit(const std::string& message_id) {
    TaskSendInput send;
    send.task_id = "task-" + message_id;
    send.message_id = "client-" + message_id;
    send.target_agent = "Tessik Mailbox";
    send.requester_agent = "alice";
    send.text = "hello " + message_id;
    append_task_record(log_, create_submitted_task(send, message_id));
    return send.task_id;
  }

  void write_request(const std::string& message_id, const std::string& mode) {
    DeliveryRequest request;
    request.message_id = message_id;
    request.target = builtin_mailbox_record();
    request.final_visible_body = "body of " + message_id;
    write_delivery_request(delivery_request_path(message_id), request, mode);
  }

  json latest(const std::string& task_id) {
    const auto line = find_latest_task_line(log_, task_id);
    EXPECT_TRUE(line) << task_id;
    return line ? json::parse(*line) : json();
  }

  SendRecoveryReport recover() {
    return recover_interrupted_sends(log_, delivery_log_path(), resolve_state_directory());
  }

  test::TempEnv env_;
  fs::path tmp_ = test::use_delivery_executable(env_, kFakeWorker);
  fs::path record_ = env_.root() / "worker-record.txt";
  fs::path log_ = env_.state_dir() / "a2a" / "tasks.jsonl";
};

TEST_F(SendRecoveryTest, EverySubmittedTaskGetsTheFinalRecordItsEvidenceSupports) {
  const std::string logged = submit("m-logged");
  DeliveryStage started;
  started.message_id = "m-logged";
  started.stage = "delivery_worker_started";
  append_delivery_stage(EvidenceLog(delivery_log_path()), started, kStageSourceDeliveryWorker);
  DeliveryStage other = started;
  other.message_id = "m-nothing";
  other.stage = "route_resolved";  // the pipeline got this far, but no worker was started
  append_delivery_stage(EvidenceLog(delivery_log_path()), other, kStageSourcePipeline);

  const std::string nothing = submit("m-nothing");
  const std::string left = submit("m-left");
  write_request("m-left", kDeliveryModeDeliver);
  const std::string busy = submit("m-busy");
  write_request("m-busy", kDeliveryModeDeliver);
  DeliveryRequestClaim held(delivery_request_path("m-busy"));  // a worker at work right now
  ASSERT_EQ(held.claim(), DeliveryRequestClaim::Status::claimed);
  write_request("m-validate", kDeliveryModeValidate);
  std::ofstream(tmp_ / "tessik-delivery-worker-junk.json") << "{\"cut";

  TaskSendInput settled;
  settled.task_id = "task-settled";
  settled.text = "done";
  TaskSendOutcome accepted;
  accepted.message_id = "m-settled";
  accepted.status = "accepted_by_tessik";
  accepted.accepted = true;
  append_task_record(log_, create_task_from_send(settled, accepted));

  const fs::path abandoned =
      env_.state_dir() / "registry" / "agents.tsv.tmp.0123456789abcdef0123456789abcdef";
  std::ofstream(abandoned) << "half";

  const SendRecoveryReport report = recover();
  EXPECT_EQ(report.tasks_working, 3u);
  EXPECT_EQ(report.tasks_failed, 1u);
  EXPECT_EQ(report.requests_resumed, 1u);
  EXPECT_EQ(report.requests_removed, 2u);
  EXPECT_EQ(report.temporaries_removed, 1u);

  for (const std::string& id : {logged, left, busy}) {
    const json task = latest(id);
    EXPECT_EQ(task["status"]["state"], "TASK_STATE_WORKING") << id;
    EXPECT_EQ(task["metadata"]["tessikEvents"].back()["code"], "recovered_after_restart") << id;
    EXPECT_EQ(task["metadata"]["tessikEvents"].size(), 3u) << id;
    EXPECT_EQ(task["history"].size(), 1u) << id;
  }
  const json failed = latest(nothing);
  EXPECT_EQ(failed["status"]["state"], "TASK_STATE_FAILED");
  EXPECT_EQ(failed["metadata"]["tessikErrorCode"], "TESSIK_DELIVERY_FAILED");
  EXPECT_EQ(failed["metadata"]["tessikErrorMessage"], kInterruptedSendReason);
  EXPECT_EQ(latest("task-settled")["status"]["state"], "TASK_STATE_WORKING");
  EXPECT_EQ(latest("task-settled")["metadata"]["tessikEvents"].size(), 3u);  // untouched

  // The left request went to a fresh worker; the held one, the validation run and the junk
  // were not resumed, and only the held one is still there.
  ASSERT_TRUE(test::wait_until([&] { return fs::exists(record_); }));
  EXPECT_NE(test::read_file(record_).find(delivery_request_path("m-left").string()),
            std::string::npos);
  EXPECT_TRUE(fs::exists(delivery_request_path("m-busy")));
  EXPECT_FALSE(fs::exists(delivery_request_path("m-validate")));
  EXPECT_FALSE(fs::exists(tmp_ / "tessik-delivery-worker-junk.json"));
  EXPECT_FALSE(fs::exists(abandoned));

  // Settled tasks stay settled: a second start finds nothing to do but the still-left file.
  fs::remove(delivery_request_path("m-left"));
  held.consume();
  const std::size_t lines = read_latest_task_lines(log_).size();
  const std::uintmax_t size = fs::file_size(log_);
  EXPECT_FALSE(recover().anything());
  EXPECT_EQ(fs::file_size(log_), size);
  EXPECT_EQ(read_latest_task_lines(log_).size(), lines);
}

TEST_F(SendRecoveryTest, SubmittedRecordsAreValidTasksThatTheFinalRecordReplaces) {
  TaskSendInput send;
  send.task_id = " t-1 ";
  send.message_id = "client-m";
  send.requester_agent = "alice";
  send.text = "hi";
  AgentRecord target = builtin_mailbox_record();
  const TaskRecord submitted = create_submitted_task(send, "m-1", target);
  EXPECT_EQ(submitted.id, "t-1");
  EXPECT_EQ(submitted.context_id, "t-1");
  EXPECT_EQ(submitted.state, kTaskStateSubmitted);
  EXPECT_EQ(submitted.message_id, "m-1");
  EXPECT_EQ(submitted.target_provider, target.provider);
  ASSERT_EQ(submitted.events.size(), 1u);
  EXPECT_EQ(submitted.events[0].code, "submitted");
  EXPECT_FALSE(is_terminal_task_state(submitted.state));
  const std::optional<TaskRecord> reread = parse_task_record(task_to_json_v1(submitted));
  ASSERT_TRUE(reread);
  EXPECT_EQ(reread->state, kTaskStateSubmitted);
  EXPECT_EQ(reread->message_id, "m-1");
  EXPECT_EQ(reread->events, submitted.events);
  EXPECT_EQ(json::parse(reread->history), json::parse(submitted.history));

  const TaskRecord failed = fail_submitted_task(submitted, "why");
  EXPECT_EQ(failed.state, kTaskStateFailed);
  EXPECT_TRUE(is_terminal_task_state(failed.state));
  EXPECT_EQ(failed.error_message, "why");
  EXPECT_EQ(failed.events.back().state, kTaskStateFailed);
  EXPECT_EQ(failed.events.back().message, "why");
  EXPECT_EQ(failed.history, submitted.history);
}

}  // namespace
}  // namespace tessik
