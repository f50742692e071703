// Two `tessik delivery-supervisor` processes started at once for the same bound reply: the
// reply reaches its target once, and the other process answers why it delivered nothing.
#include <gtest/gtest.h>

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "pipeline/delivery_request.h"
#include "providers/antigravity_cli/operation_journal.h"
#include "providers/mailbox/mailbox_store.h"
#include "registry/agent_record.h"
#include "state/state_dir.h"
#include "support/build_paths.h"
#include "support/command_run.h"
#include "support/delivery_env.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

namespace fs = std::filesystem;

TEST(DeliverySupervisorProcesses, TwoSupervisorsForOneOperationDeliverOnce) {
  test::TempEnv env;
  test::use_delivery_executable(env, TESSIK_BINARY);
  const std::string token = record_operation_dispatched("op-two");
  ASSERT_TRUE(bind_callback_to_operation("op-two", "reply-two").bound);
  DeliveryRequest request;
  request.message_id = "reply-two";
  request.target = builtin_mailbox_record();
  request.sender.resolved = true;
  request.sender.sender = "agy";
  request.final_visible_body = "only once";
  request.source_context = "tessik-operation:op-two";
  const fs::path file = delivery_request_path(request.message_id);
  write_delivery_request(file, request, "deliver");

  const std::string supervisor =
      std::string("'") + TESSIK_BINARY + "' delivery-supervisor --request '" + file.string() +
      "' --operation-id op-two --dispatch-token " + token + " --callback-message-id reply-two";
  const fs::path a = env.root() / "a.out", b = env.root() / "b.out";
  const std::string both =
      supervisor + " >'" + a.string() + "' & " + supervisor + " >'" + b.string() + "' & wait";
  ASSERT_EQ(std::system(both.c_str()), 0);

  int accepted = 0;
  std::string refusal;
  for (const fs::path& out : {a, b}) {
    const nlohmann::json line = nlohmann::json::parse(test::read_file(out));
    EXPECT_EQ(line["type"], "delivery_worker_result");
    EXPECT_EQ(line["message_id"], "reply-two");
    if (line["accepted"].get<bool>()) {
      ++accepted;
    } else {
      refusal = line["error"].get<std::string>();
    }
  }
  EXPECT_EQ(accepted, 1);
  EXPECT_EQ(refusal, "Antigravity CLI operation op-two already delivered its response");
  const std::vector<MailboxMessage> stored = read_mailbox_messages(mailbox_messages_directory());
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_FALSE(fs::exists(file));
}

TEST(DeliverySupervisorProcesses, BadArgumentsAnswerWithAResultLine) {
  test::TempEnv env;
  const test::CommandRun run =
      test::run_tessik(env.root(), "delivery-supervisor --request x --operation-id y");
  EXPECT_EQ(run.code, 2);
  const nlohmann::json line = nlohmann::json::parse(run.out);
  EXPECT_EQ(line["accepted"], false);
  EXPECT_EQ(line["method_used"], "delivery_supervisor_arguments_invalid");
  EXPECT_EQ(line["error"], "delivery-supervisor requires --callback-message-id");
}

}  // namespace
}  // namespace tessik
