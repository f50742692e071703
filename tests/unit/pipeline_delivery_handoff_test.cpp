// The delivery hand-off: which program it starts and how, what it leaves behind, the exact
// callback binding, and reading a synchronous worker's result.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "pipeline/delivery_handoff.h"
#include "pipeline/delivery_request.h"
#include "platform/executable_path.h"
#include "providers/antigravity_cli/operation_journal.h"
#include "registry/agent_record.h"
#include "support/build_paths.h"
#include "support/delivery_env.h"
#include "support/task_fixtures.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

namespace fs = std::filesystem;

const std::string kFakeWorker = std::string(TESSIK_HELPER_DIR) + "/fake_delivery_worker";

DeliveryRequest mailbox_request(const std::string& message_id) {
  DeliveryRequest request;
  request.test_id = "test-1";
  request.message_id = message_id;
  request.target = builtin_mailbox_record();
  request.sender.resolved = true;
  request.sender.sender = "alice";
  request.final_visible_body = "hello";
  return request;
}

// An exact Antigravity CLI reply, bound to `operation_id` through its source context.
DeliveryRequest callback_request(const std::string& message_id, const std::string& context) {
  DeliveryRequest request = mailbox_request(message_id);
  request.target.provider = "antigravity_cli";
  request.target.provider_session_id = "antigravity_cli:conversation:c1";
  request.sender.source = kExactCallbackSenderSource;
  request.sender.sender_session_id = "reply-session";
  request.source_context = context;
  return request;
}

class DeliveryHandoffTest : public ::testing::Test {
 protected:
  test::TempEnv env;
  fs::path tmp = test::use_delivery_executable(env, kFakeWorker);
  fs::path record = env.root() / "record.txt";

  void SetUp() override { env.set("FAKE_WORKER_RECORD", record.string()); }

  std::string wait_for_record() {
    EXPECT_TRUE(test::wait_until([&] { return fs::exists(record); }));
    return test::read_file(record);
  }
};

TEST_F(DeliveryHandoffTest, ExecutableComesFromTessikExeThenTheRunningProgram) {
  env.set("TESSIK_EXE", "  /opt/x/tessik \t");
  EXPECT_EQ(delivery_executable(), fs::path("/opt/x/tessik"));
  env.set("TESSIK_EXE", "   ");
  EXPECT_EQ(delivery_executable(), fs::path(platform::current_executable_path()));
  env.unset("TESSIK_EXE");
  EXPECT_EQ(delivery_executable(), fs::path(platform::current_executable_path()));
}

TEST_F(DeliveryHandoffTest, StartsDetachedWorkerWithClearedOperationIdAndNextDepth) {
  env.set("TESSIK_AGY_OPERATION_ID", "leaky-operation");
  env.set("TESSIK_TEST_CHILD_DEPTH", "2");
  const DeliveryResult result = hand_off_delivery(mailbox_request("msg:1.a"));
  const fs::path request_file = tmp / "tessik-delivery-worker-msg-1-a.json";
  EXPECT_TRUE(result.accepted);
  EXPECT_EQ(result.state, "accepted_by_tessik");
  EXPECT_EQ(result.provider, "tessik_mailbox");
  EXPECT_EQ(result.method, "delivery_worker_background_handoff");
  EXPECT_EQ(result.evidence, "background_handoff=started owner=delivery-worker request_file=" +
                                 request_file.string());
  EXPECT_EQ(wait_for_record(), "arg=delivery-worker\narg=--request\narg=" + request_file.string() +
                                   "\noperation_id=\ndepth=3\nrequest=" +
                                   format_delivery_request(mailbox_request("msg:1.a"), "deliver"));
  // The child owns the file once started: the fake worker does not remove it, nor may we.
  EXPECT_TRUE(fs::exists(request_file));
}

TEST_F(DeliveryHandoffTest, LaunchFailureRemovesRequestFileAndIsNotAccepted) {
  env.set("TESSIK_EXE", (env.root() / "missing-tessik").string());
  const DeliveryResult result = hand_off_delivery(mailbox_request("m2"));
  EXPECT_FALSE(result.accepted);
  EXPECT_EQ(result.state, "delivery_worker_handoff_failed");
  EXPECT_EQ(result.method, "delivery_worker_background_handoff");
  EXPECT_NE(result.error.find("missing-tessik"), std::string::npos) << result.error;
  EXPECT_EQ(result.evidence, "request_file=" + (tmp / "tessik-delivery-worker-m2.json").string());
  EXPECT_TRUE(test::files_in(tmp).empty());

  env.set("TESSIK_EXE", "no-such-tessik-program-on-path");
  const DeliveryResult bare = hand_off_delivery(mailbox_request("m3"));
  EXPECT_EQ(bare.state, "delivery_worker_handoff_failed");
  EXPECT_FALSE(bare.error.empty());
  EXPECT_TRUE(test::files_in(tmp).empty());
}

TEST_F(DeliveryHandoffTest, APlantedNameFailsTheHandOffAndIsLeftAsItWas) {
  const fs::path victim = env.root() / "victim.txt";
  std::ofstream(victim) << "precious";
  const fs::path planted = tmp / "tessik-delivery-worker-m4.json";
  fs::create_symlink(victim, planted);
  const DeliveryResult result = hand_off_delivery(mailbox_request("m4"));
  EXPECT_FALSE(result.accepted);
  EXPECT_EQ(result.state, "delivery_worker_handoff_failed");
  EXPECT_EQ(result.error, "delivery worker request file already exists: " + planted.string());
  EXPECT_EQ(result.evidence, "request_file=" + planted.string());
  EXPECT_TRUE(fs::is_symlink(planted));
  EXPECT_EQ(test::read_file(victim), "precious");

  const DeliveryResult synchronous = run_delivery_worker(mailbox_request("m4"), "validate", 5000);
  EXPECT_FALSE(synchronous.accepted);
  EXPECT_EQ(synchronous.state, "delivery_worker_failed");
  EXPECT_TRUE(fs::is_symlink(planted));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(fs::exists(record)) << "no worker may start for a file we did not write";
}

TEST_F(DeliveryHandoffTest, ResumingStartsAWorkerForTheLeftFile) {
  const fs::path left = delivery_request_path("m5");
  write_delivery_request(left, mailbox_request("m5"), "deliver");
  EXPECT_EQ(resume_delivery_handoff(left), "");
  EXPECT_EQ(wait_for_record(), "arg=delivery-worker\narg=--request\narg=" + left.string() +
                                   "\noperation_id=\ndepth=1\nrequest=" +
                                   format_delivery_request(mailbox_request("m5"), "deliver"));
  env.set("TESSIK_EXE", (env.root() / "missing-tessik").string());
  EXPECT_NE(resume_delivery_handoff(left).find("missing-tessik"), std::string::npos);
}

TEST_F(DeliveryHandoffTest, IncompleteCallbackBindingIsRefusedWithoutStartingAnything) {
  const struct {
    std::string context;
    std::string error;
  } cases[] = {
      {"cli", "Antigravity CLI callback attribution is incomplete"},
      {"tessik-operation:   ", "Antigravity CLI callback operation ID is empty"},
      {"tessik-operation:op-unknown", "Antigravity CLI operation op-unknown is not known"},
  };
  for (const auto& c : cases) {
    const DeliveryResult result = hand_off_delivery(callback_request("cb1", c.context));
    EXPECT_FALSE(result.accepted) << c.context;
    EXPECT_EQ(result.state, "delivery_supervisor_binding_failed");
    EXPECT_EQ(result.method, "delivery_supervisor_exact_callback_binding");
    EXPECT_EQ(result.provider, "antigravity_cli");
    EXPECT_EQ(result.error, c.error);
    EXPECT_TRUE(test::files_in(tmp).empty()) << c.context;
  }
  DeliveryRequest no_reply = callback_request("cb2", "tessik-operation:op");
  no_reply.sender.sender_session_id = " ";
  EXPECT_EQ(hand_off_delivery(no_reply).error,
            "Antigravity CLI callback attribution is incomplete");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(fs::exists(record));
}

TEST_F(DeliveryHandoffTest, BoundCallbackStartsTheSupervisorWithItsBinding) {
  const std::string token = record_operation_dispatched("op-7");
  env.set("TESSIK_AGY_OPERATION_ID", "op-leaked");
  const DeliveryRequest request = callback_request("cb-9", "tessik-operation:op-7");
  const DeliveryResult result = hand_off_delivery(request);
  EXPECT_TRUE(result.accepted) << result.error;
  EXPECT_EQ(result.state, "accepted_by_tessik");
  EXPECT_EQ(result.method, "delivery_supervisor_background_handoff");
  const fs::path file = delivery_request_path("cb-9");
  EXPECT_EQ(result.evidence,
            "background_handoff=started owner=delivery-supervisor request_file=" + file.string());
  EXPECT_EQ(wait_for_record(),
            "arg=delivery-supervisor\narg=--request\narg=" + file.string() +
                "\narg=--operation-id\narg=op-7\narg=--dispatch-token\narg=" + token +
                "\narg=--callback-message-id\narg=cb-9\noperation_id=\n"
                "depth=1\nrequest=" +
                format_delivery_request(request, "deliver"));
  const std::vector<OperationFact> facts = read_operation_facts("op-7");
  ASSERT_EQ(facts.size(), 2u);
  EXPECT_EQ(facts[1].fact, "callback_bound");
}

TEST_F(DeliveryHandoffTest, AnUnusableOperationJournalIsARefusalNotAThrow) {
  fs::create_directories(env.state_dir() / "operations");
  test::write_file(env.state_dir() / "operations" / "antigravity_cli", "not a directory");
  DeliveryResult result;
  ASSERT_NO_THROW(result = hand_off_delivery(callback_request("cb-3", "tessik-operation:op-3")));
  EXPECT_FALSE(result.accepted);
  EXPECT_EQ(result.state, "delivery_supervisor_binding_failed");
  EXPECT_NE(result.error.find("could not create operation journal directory"), std::string::npos)
      << result.error;
  EXPECT_TRUE(test::files_in(tmp).empty());
}

TEST_F(DeliveryHandoffTest, SupervisorLaunchFailureRecordsResponseFailed) {
  record_operation_dispatched("op-8");
  env.set("TESSIK_EXE", (env.root() / "missing").string());
  const DeliveryResult result =
      hand_off_delivery(callback_request("cb-1", "tessik-operation:op-8"));
  EXPECT_EQ(result.state, "delivery_worker_handoff_failed");
  EXPECT_EQ(result.method, "delivery_supervisor_background_handoff");
  EXPECT_TRUE(test::files_in(tmp).empty());

  const std::vector<OperationFact> facts = read_operation_facts("op-8");
  ASSERT_EQ(facts.size(), 3u);
  EXPECT_EQ(facts[0].fact, "operation_dispatched");
  EXPECT_EQ(facts[1].fact, "callback_bound");
  EXPECT_EQ(facts[1].field("callback_message_id"), "cb-1");
  EXPECT_EQ(facts[2].fact, "response_failed");
  EXPECT_EQ(facts[2].sequence, 3u);
  EXPECT_EQ(facts[2].field("operation_id"), "op-8");
  EXPECT_EQ(facts[2].field("reason"), "delivery_supervisor_launch_failed");
  EXPECT_EQ(facts[2].field("process_error"), result.error);
  EXPECT_EQ(bind_callback_to_operation("op-8", "cb-1").error,
            "Antigravity CLI operation op-8 already failed its response");
  EXPECT_THROW(record_operation_dispatched("op-8"), std::runtime_error);
}

TEST_F(DeliveryHandoffTest, AJournalThatCannotTakeTheFailureFactStillRemovesTheRequest) {
  // A long operation id makes the journal larger than the request file, so a size limit can
  // stop the journal's next fact while the request is still written.
  const std::string operation = "op-" + std::string(1500, 'x');
  record_operation_dispatched(operation);
  ASSERT_TRUE(bind_callback_to_operation(operation, "cb-4").bound);
  const std::uintmax_t journal_bytes = fs::file_size(operation_journal_path(operation));
  env.set("TESSIK_EXE", (env.root() / "missing").string());  // the launch fails
  DeliveryResult result;
  {
    test::FileSizeLimit limit(journal_bytes);
    ASSERT_NO_THROW(
        result = hand_off_delivery(callback_request("cb-4", "tessik-operation:" + operation)));
  }
  EXPECT_FALSE(result.accepted);
  EXPECT_EQ(result.state, "delivery_worker_handoff_failed");
  EXPECT_NE(result.evidence.find("operation_fact_error=could not append operation journal"),
            std::string::npos)
      << result.evidence;
  EXPECT_TRUE(test::files_in(tmp).empty());
  EXPECT_EQ(read_operation_facts(operation).size(), 2u);
}

TEST_F(DeliveryHandoffTest, SynchronousRunReadsTheLastResultLine) {
  env.set("FAKE_WORKER_MODE", "two_results");
  const DeliveryResult last = run_delivery_worker(mailbox_request("s1"), "validate");
  EXPECT_EQ(last.method, "second");
  EXPECT_EQ(last.state, "accepted_by_provider");
  EXPECT_TRUE(last.accepted);
  EXPECT_FALSE(last.degraded);
  EXPECT_EQ(last.evidence, "e2");
  EXPECT_NE(wait_for_record().find("arg=--validate-only\n"), std::string::npos);
  EXPECT_TRUE(test::files_in(tmp).empty());

  env.set("FAKE_WORKER_MODE", "no_result");
  const DeliveryResult none = run_delivery_worker(mailbox_request("s2"), "deliver");
  EXPECT_EQ(none.provider, "delivery_worker");
  EXPECT_EQ(none.state, "delivery_worker_failed");
  EXPECT_EQ(none.error, "delivery worker returned no parseable result");
  EXPECT_EQ(none.evidence, "nothing useful here\n");

  env.set("FAKE_WORKER_MODE", "accept_exit_3");
  const DeliveryResult non_zero = run_delivery_worker(mailbox_request("s3"), "deliver");
  EXPECT_EQ(non_zero.state, "delivery_worker_failed");
  EXPECT_EQ(non_zero.error, "delivery worker exited non-zero after accepting request: 3");
  EXPECT_TRUE(test::files_in(tmp).empty());
}

TEST(DeliveryWorkerResultLine, PicksTheLastMatchingLine) {
  DeliveryResult result;
  EXPECT_FALSE(parse_delivery_worker_result("", result));
  EXPECT_FALSE(parse_delivery_worker_result("delivery_worker_result without type\n", result));
  ASSERT_TRUE(parse_delivery_worker_result(
      "{\"type\":\"delivery_worker_result\",\"state\":\"a\",\"accepted\":false}\n"
      "{\"type\":\"delivery_worker_result\",\"state\":\"b\",\"accepted\":true,\"degraded\":true}",
      result));
  EXPECT_EQ(result.state, "b");
  EXPECT_TRUE(result.accepted);
  EXPECT_TRUE(result.degraded);
}

}  // namespace
}  // namespace tessik
