// The pipeline's creation support: the first message of a non-Claude session gets the same
// envelope as any send, and its preflight runs in a real validate-only delivery worker.
#include <gtest/gtest.h>

#include "pipeline/create_support.h"
#include "state/state_dir.h"
#include "support/build_paths.h"
#include "support/delivery_env.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

class CreateSupportTest : public ::testing::Test {
 protected:
  CreateSupportTest() { tmp = test::use_delivery_executable(env, TESSIK_BINARY); }

  DeliveryRequest preflight(const std::string& body) {
    DeliveryRequest request;
    request.test_id = "create_preflight";
    request.message_id = "req-7";
    request.target.provider = "cursor";
    request.target.display_name = "Reviewer";
    request.target.node_id = "local";
    request.sender.resolved = true;
    request.sender.sender = "Alice";
    request.final_visible_body = body;
    return request;
  }

  test::TempEnv env;
  std::filesystem::path tmp;
  Registry registry{agents_registry_path()};
  LifecycleEdges edges = pipeline_lifecycle_edges(registry);
};

TEST_F(CreateSupportTest, InitialBodyIsTheSendEnvelope) {
  CreateRequest request;
  request.request_id = "req-7";
  request.requested_name = " Reviewer ";
  request.initial_message = "Please look at the tests";
  SenderResolution sender;
  sender.resolved = true;
  sender.sender = "Alice";
  sender.sender_session_id = "codex:session:alice";
  sender.source = "registry_name";
  const InitialBody body = edges.build_initial_body(request, sender);
  EXPECT_TRUE(body.text.starts_with("Message from Alice\n\nPlease look at the tests\n\n"));
  // The send-back address is the sender's session, the operation the creation request.
  EXPECT_NE(body.text.find("\"to\": \"codex:session:alice\""), std::string::npos);
  EXPECT_NE(body.text.find("tessik-operation:req-7"), std::string::npos);
  EXPECT_EQ(body.policy, "resolved_sender_envelope");
  EXPECT_EQ(body.original_bytes, request.initial_message.size());
  EXPECT_EQ(body.final_bytes, body.text.size());
  EXPECT_GT(body.final_bytes, body.original_bytes);
}

TEST_F(CreateSupportTest, PreflightRunsTheWorkerInValidateOnlyMode) {
  const DeliveryResult good = edges.validate_body(preflight("A real first message"));
  EXPECT_TRUE(good.accepted) << good.error << " " << good.evidence;
  EXPECT_EQ(good.method, "delivery_worker_validate_only");

  const DeliveryResult blank = edges.validate_body(preflight(" \n "));
  EXPECT_FALSE(blank.accepted);
  EXPECT_FALSE(blank.error.empty());
  // Nothing was delivered anywhere, and no request file is left behind.
  EXPECT_TRUE(test::files_in(mailbox_messages_directory()).empty());
  EXPECT_TRUE(test::files_in(tmp).empty());
  const auto stages = test::stage_names(delivery_log_path(), "delivery_worker");
  EXPECT_EQ(std::count(stages.begin(), stages.end(), "final_visible_body_validated"), 2);
}

}  // namespace
}  // namespace tessik
