// The delivery supervisor: one delivery per operation however many supervisors start, and
// refusals (wrong token, another message, a failed or finished operation) that deliver nothing
// and leave no request file behind for a later worker.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "pipeline/delivery_request.h"
#include "pipeline/delivery_supervisor.h"
#include "providers/antigravity_cli/operation_journal.h"
#include "providers/mailbox/mailbox_store.h"
#include "registry/agent_record.h"
#include "state/state_dir.h"
#include "support/delivery_env.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

namespace fs = std::filesystem;

class DeliverySupervisorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    token_ = record_operation_dispatched("op-1");
    ASSERT_TRUE(bind_callback_to_operation("op-1", "reply-1").bound);
  }

  // A reply bound to op-1, written as the hand-off writes it; the mailbox stands in for the
  // assistant so that every delivery leaves a countable file.
  fs::path write_reply(const std::string& message_id = "reply-1") {
    DeliveryRequest request;
    request.message_id = message_id;
    request.target = builtin_mailbox_record();
    request.sender.resolved = true;
    request.sender.sender = "agy";
    request.final_visible_body = "the answer";
    request.source_context = "tessik-operation:op-1";
    const fs::path file = delivery_request_path(message_id);
    write_delivery_request(file, request, "deliver");
    return file;
  }
  std::size_t delivered() { return read_mailbox_messages(mailbox_messages_directory()).size(); }
  std::vector<std::string> facts() {
    std::vector<std::string> names;
    for (const OperationFact& fact : read_operation_facts("op-1"))
      names.push_back(fact.fact);
    return names;
  }

  test::TempEnv env_;
  fs::path tmp_ = test::use_delivery_executable(env_, "tessik");
  std::string token_;
};

TEST_F(DeliverySupervisorTest, ConcurrentSupervisorsDeliverOnce) {
  const fs::path file = write_reply();
  std::atomic<int> accepted{0};
  std::vector<std::string> errors(4);
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&, i] {
      const DeliveryWorkerOutcome outcome =
          run_delivery_supervisor({file, "op-1", token_, "reply-1"});
      if (outcome.result.accepted) ++accepted;
      errors[i] = outcome.result.error;
    });
  }
  for (std::thread& thread : threads)
    thread.join();
  EXPECT_EQ(accepted.load(), 1);
  EXPECT_EQ(delivered(), 1u);
  EXPECT_EQ(facts(), (std::vector<std::string>{"operation_dispatched", "callback_bound",
                                               "response_delivery_started", "response_delivered"}));
  int refused = 0;
  for (const std::string& error : errors) {
    refused += error == "Antigravity CLI operation op-1 already delivered its response";
  }
  EXPECT_EQ(refused, 3);
  EXPECT_FALSE(fs::exists(file));
}

TEST_F(DeliverySupervisorTest, RefusalsDeliverNothingAndTakeTheFileAway) {
  const struct {
    std::string token;
    std::string message;
    std::string error;
  } cases[] = {
      {"wrong", "reply-1", "Antigravity CLI operation op-1 has another dispatch token"},
      {"", "reply-2", "Antigravity CLI operation op-1 is not bound to callback message reply-2"},
  };
  for (const auto& c : cases) {
    const fs::path file = write_reply(c.message);
    const DeliveryWorkerOutcome outcome =
        run_delivery_supervisor({file, "op-1", c.token.empty() ? token_ : c.token, c.message});
    EXPECT_FALSE(outcome.result.accepted);
    EXPECT_EQ(outcome.result.method, "delivery_supervisor_operation_refused");
    EXPECT_EQ(outcome.result.error, c.error);
    EXPECT_FALSE(fs::exists(file)) << c.error;
  }
  EXPECT_EQ(delivered(), 0u);
  EXPECT_EQ(facts().size(), 2u);

  record_operation_response_failed("op-1", "agent_gone", "exit 3");
  const fs::path file = write_reply();
  EXPECT_EQ(run_delivery_supervisor({file, "op-1", token_, "reply-1"}).result.error,
            "Antigravity CLI operation op-1 already failed its response");
  EXPECT_EQ(delivered(), 0u);
}

TEST_F(DeliverySupervisorTest, AFailedDeliveryIsRecordedAndNotRetried) {
  const fs::path missing = tmp_ / "never-written.json";
  const DeliveryWorkerOutcome first = run_delivery_supervisor({missing, "op-1", token_, "reply-1"});
  EXPECT_FALSE(first.result.accepted);
  ASSERT_EQ(facts().size(), 4u);
  const std::vector<OperationFact> all = read_operation_facts("op-1");
  EXPECT_EQ(all[3].fact, "response_failed");
  EXPECT_EQ(all[3].field("reason"), "delivery_supervisor_delivery_failed");
  EXPECT_EQ(all[3].field("process_error"), first.result.error);
  // The request appearing later changes nothing: the operation's one attempt is spent.
  const fs::path file = write_reply();
  EXPECT_FALSE(run_delivery_supervisor({file, "op-1", token_, "reply-1"}).result.accepted);
  EXPECT_EQ(delivered(), 0u);
}

}  // namespace
}  // namespace tessik
