// The create workflow through injected edges: every stop with its stage code, enrollment,
// Claude's name verification, the initial send and the title refresh, and the lifecycle log.
#include <gtest/gtest.h>

#include "lifecycle/create_workflow.h"
#include "state/state_dir.h"
#include "support/jsonl_reader.h"
#include "support/registry_rows.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

constexpr char kSession[] = "claude_code_cli:session:7c9e6679-7425-40de-944b-e07fc1f90ae7";

// Edges that record what they were asked and answer what the test set.
struct FakeEdges {
  std::vector<CreateRequest> creates;
  std::vector<RenameRequest> renames;
  std::vector<DeliveryRequest> deliveries;
  std::vector<DeliveryRequest> validations;
  int refreshes = 0;
  CreateResult create_answer;
  RenameResult rename_answer;
  bool body_valid = true;
  std::function<void()> during_create;

  LifecycleEdges edges() {
    LifecycleEdges e;
    e.create = [this](const CreateRequest& r) {
      creates.push_back(r);
      if (during_create) during_create();
      return create_answer;
    };
    e.rename = [this](const RenameRequest& r) {
      renames.push_back(r);
      return rename_answer;
    };
    e.deliver = [this](const DeliveryRequest& r) {
      deliveries.push_back(r);
      DeliveryResult result;
      result.provider = r.target.provider;
      result.state = "accepted_by_provider";
      result.accepted = true;
      result.method = "fake_delivery";
      return result;
    };
    e.build_initial_body = [](const CreateRequest& r, const SenderResolution& s) {
      const std::string text = "Envelope from " + s.sender + ":\n" + r.initial_message;
      return InitialBody{text, "resolved_sender_envelope", r.initial_message.size(), text.size()};
    };
    e.validate_body = [this](const DeliveryRequest& r) {
      validations.push_back(r);
      DeliveryResult result;
      result.accepted = body_valid;
      return result;
    };
    e.refresh_title = [this](const AgentRecord& row) {
      ++refreshes;
      TitleRefresh refresh;
      refresh.rows_found = 1;
      refresh.updated = 1;
      refresh.provider_title = row.display_name;
      return refresh;
    };
    return e;
  }
};

CreateResult created(const std::string& provider, const std::string& session, bool sent) {
  CreateResult result;
  result.provider = provider;
  result.state = "created_session";
  result.accepted = true;
  result.initial_message_sent = sent;
  result.method = "created_claude_cli_single_process_readiness_gate";
  result.provider_session_id = session;
  result.provider_title = "Reviewer";
  result.correlation_state = "requested_session_id";
  return result;
}

RenameResult verified(const std::string& title) {
  RenameResult result;
  result.accepted = true;
  result.state = "renamed_session";
  result.method = "renamed_claude_cli_native_name_flag";
  result.verification_state = "verified";
  result.provider_title = title;
  return result;
}

class CreateWorkflowTest : public ::testing::Test {
 protected:
  CreateWorkflowTest() {
    test::write_registry(agents_registry_path(),
                         {test::ready_row("alice", "Alice", "codex", "codex:session:alice")});
  }
  CreateRequest request(const std::string& provider, const std::string& message = "Review X") {
    CreateRequest r;
    r.request_id = "req-1";
    r.provider = provider;
    r.requested_name = " Reviewer ";
    r.initial_message = message;
    r.from = "Alice";
    r.from_node = "local";
    return r;
  }
  CreateWorkflowResult run(const CreateRequest& r) {
    return create_agent_workflow(r, registry, logs, fake.edges());
  }
  std::vector<std::string> statuses() const {
    std::vector<std::string> out;
    for (const auto& record : test::read_events(create_lifecycle_log_path(), "create_lifecycle"))
      out.push_back(record.value("status", ""));
    return out;
  }
  std::vector<AgentRecord> rows_of(const std::string& session) const {
    std::vector<AgentRecord> out;
    for (const AgentRecord& row : test::registry_rows(agents_registry_path()))
      if (row.provider_session_id == session) out.push_back(row);
    return out;
  }

  test::TempEnv env;
  Registry registry{agents_registry_path()};
  LifecycleLogs logs = default_lifecycle_logs();
  FakeEdges fake;
};

TEST_F(CreateWorkflowTest, MissingProviderOrNameStopsBeforeAnyProvider) {
  CreateRequest r = request("claude_code_cli");
  r.requested_name = "   ";
  auto result = run(r);
  EXPECT_EQ(result.stage, create_stage::kMissingInput);
  EXPECT_EQ(result.message, "--name is required");
  r = request("  ");
  result = run(r);
  EXPECT_EQ(result.stage, create_stage::kMissingInput);
  EXPECT_EQ(result.message, "--provider is required");
  EXPECT_TRUE(fake.creates.empty());
  EXPECT_TRUE(fake.validations.empty());
  EXPECT_EQ(statuses(), (std::vector<std::string>{"rejected", "rejected"}));
}

TEST_F(CreateWorkflowTest, InitialMessageNeedsSenderAndValidBody) {
  // A blank sender, and a session id no registered row has, resolve to nobody.
  for (const char* from : {"  ", "claude_code_cli:session:unknown"}) {
    CreateRequest r = request("claude_code_cli");
    r.from = from;
    const auto result = run(r);
    EXPECT_EQ(result.stage, create_stage::kUnresolvedSender) << from;
    EXPECT_EQ(result.message, "this raw CLI create has an initial message but no sender identity");
  }
  EXPECT_TRUE(fake.validations.empty());

  fake.body_valid = false;
  const auto result = run(request("claude_code_cli"));
  EXPECT_EQ(result.stage, create_stage::kBodyInvalid);
  EXPECT_EQ(result.message, "final visible body validation failed");
  ASSERT_EQ(fake.validations.size(), 1u);
  EXPECT_EQ(fake.validations[0].test_id, "create_preflight");
  EXPECT_EQ(fake.validations[0].target.node_id, "local");
  EXPECT_EQ(fake.validations[0].final_visible_body,
            "Review X\n\nPlease send your response to Alice using Tessik.");
  EXPECT_TRUE(fake.creates.empty());
}

TEST_F(CreateWorkflowTest, ProviderRefusalIsStageFourWithItsError) {
  fake.create_answer.state = "failed";
  fake.create_answer.error = "Claude CLI executable was not found";
  const auto result = run(request("claude_code_cli"));
  EXPECT_EQ(result.stage, create_stage::kProviderRefused);
  EXPECT_EQ(result.message, "Claude CLI executable was not found");
  const auto failed = test::read_events(create_lifecycle_log_path(), "create_failed");
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0]["error"], "Claude CLI executable was not found");
  EXPECT_EQ(statuses(), (std::vector<std::string>{"requested", "provider_create_failed"}));
  EXPECT_TRUE(rows_of(kSession).empty());
}

TEST_F(CreateWorkflowTest, ClaudeCreationIsEnrolledRenamedAndRefreshed) {
  fake.create_answer = created("claude_code_cli", kSession, true);
  fake.rename_answer = verified("Reviewer");
  const auto result = run(request("Claude"));
  ASSERT_FALSE(result.stopped()) << result.message;
  ASSERT_TRUE(result.enrolled);
  EXPECT_EQ(result.enrolled->display_name, "Reviewer");
  EXPECT_FALSE(result.enrolled->public_agent_id.empty());

  ASSERT_EQ(fake.creates.size(), 1u);
  EXPECT_EQ(fake.creates[0].initial_message,
            "Review X\n\nPlease send your response to Alice using Tessik.");
  EXPECT_EQ(fake.creates[0].requested_name, "Reviewer");
  ASSERT_EQ(fake.renames.size(), 1u);
  EXPECT_EQ(fake.renames[0].target.provider_session_id, kSession);
  EXPECT_EQ(fake.renames[0].requested_name, "Reviewer");
  EXPECT_TRUE(fake.deliveries.empty());  // the adapter's gate already delivered it
  EXPECT_EQ(fake.refreshes, 1);

  const auto rows = rows_of(kSession);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_TRUE(rows[0].sendable);
  EXPECT_EQ(rows[0].node_id, "local");
  EXPECT_EQ(rows[0].provider, "claude_code_cli");

  EXPECT_EQ(statuses(), (std::vector<std::string>{"requested", "provider_create_accepted",
                                                  "registry_enrolled", "rename_verified",
                                                  "title_refreshed", "completed"}));
  const auto records = test::read_events(create_lifecycle_log_path(), "create_lifecycle");
  EXPECT_EQ(records.back()["first_message_hash"], first_message_hash("Review X"));
  EXPECT_EQ(records.back()["initial_message_sent"], "true");
  EXPECT_EQ(records.back()["provider_session_id"], kSession);
  const auto body = test::read_events(create_lifecycle_log_path(), "create_initial_body_built");
  ASSERT_EQ(body.size(), 1u);
  EXPECT_EQ(body[0]["body_policy"], "claude_plain_english_reply_route");
  EXPECT_EQ(body[0]["requested_name"], "Reviewer");
  const auto refresh =
      test::read_events(create_lifecycle_log_path(), "create_post_send_title_refresh");
  ASSERT_EQ(refresh.size(), 1u);
  EXPECT_EQ(refresh[0]["provider_owned_title_ready"], "true");
  EXPECT_EQ(test::read_events(create_lifecycle_log_path(), "create_rename_verified").size(), 1u);
  // The rename's own records share the creation log.
  EXPECT_EQ(test::read_events(create_lifecycle_log_path(), "rename_verified").size(), 1u);
}

TEST_F(CreateWorkflowTest, SameSessionCreatedTwiceKeepsOneRow) {
  fake.create_answer = created("claude_code_cli", kSession, true);
  fake.rename_answer = verified("Reviewer");
  ASSERT_FALSE(run(request("claude_code_cli")).stopped());
  const std::string agent_id = rows_of(kSession).at(0).agent_id;
  CreateRequest again = request("claude_code_cli");
  again.requested_name = "Second";
  fake.rename_answer = verified("Second");
  const auto result = run(again);
  ASSERT_FALSE(result.stopped()) << result.message;
  const auto rows = rows_of(kSession);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].agent_id, agent_id);
  EXPECT_EQ(rows[0].display_name, "Second");
}

TEST_F(CreateWorkflowTest, UnverifiedClaudeNameIsStageSevenWithTheRowKept) {
  fake.create_answer = created("claude_code_cli", kSession, true);
  fake.rename_answer = verified("Something else");
  fake.rename_answer.verification_state = "unverified";
  fake.rename_answer.state = "unverified";
  auto result = run(request("claude_code_cli"));
  EXPECT_EQ(result.stage, create_stage::kRenameNotVerified);
  EXPECT_EQ(result.message, "Claude session creation succeeded but full rename verification failed");
  EXPECT_TRUE(result.enrolled);
  EXPECT_EQ(rows_of(kSession).size(), 1u);
  const auto failed = test::read_events(create_lifecycle_log_path(), "create_rename_failed");
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0]["rename_verification"], "unverified");

  fake.rename_answer = RenameResult{};
  fake.rename_answer.error = "installed Claude CLI does not expose the native --name session option";
  result = run(request("claude_code_cli"));
  EXPECT_EQ(result.stage, create_stage::kRenameNotVerified);
  EXPECT_EQ(result.message, fake.rename_answer.error);
}

TEST_F(CreateWorkflowTest, CursorIgnoresTheNameAndGetsTheInitialSend) {
  fake.create_answer = created("cursor", "cursor:session:abc", false);
  fake.create_answer.method = "cursor_bridge_create";
  const auto result = run(request("cursor"));
  ASSERT_FALSE(result.stopped()) << result.message;
  const auto body = test::read_events(create_lifecycle_log_path(), "create_initial_body_built");
  ASSERT_EQ(body.size(), 1u);
  EXPECT_EQ(body[0]["requested_name"], "[ignored_for_provider]");
  EXPECT_EQ(body[0]["body_policy"], "resolved_sender_envelope");
  EXPECT_TRUE(fake.renames.empty());
  ASSERT_EQ(fake.deliveries.size(), 1u);
  EXPECT_EQ(fake.deliveries[0].target.provider_session_id, "cursor:session:abc");
  EXPECT_EQ(fake.deliveries[0].final_visible_body, "Envelope from Alice:\nReview X");
  EXPECT_EQ(test::read_events(create_lifecycle_log_path(), "create_initial_send_accepted").size(),
            1u);
  const auto skipped =
      test::read_events(create_lifecycle_log_path(), "create_post_send_title_refresh_skipped");
  ASSERT_EQ(skipped.size(), 1u);
  EXPECT_EQ(skipped[0]["reason"], "provider_not_supported_for_title_refresh");
  EXPECT_EQ(fake.refreshes, 0);
}

TEST_F(CreateWorkflowTest, PendingOperationIsStageFiveWithoutEnrollment) {
  fake.create_answer = created("antigravity_cli", "", false);
  fake.create_answer.correlation_state = "event_pending";
  fake.create_answer.operation_id = "op-42";
  const std::string before = test::read_file(agents_registry_path());
  const auto result = run(request("agy"));
  EXPECT_EQ(result.stage, create_stage::kPendingOperation);
  EXPECT_FALSE(result.enrolled);
  EXPECT_EQ(test::read_file(agents_registry_path()), before);
  const auto pending = test::read_events(create_lifecycle_log_path(), "create_operation_pending");
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_EQ(pending[0]["operation_id"], "op-42");
}

TEST_F(CreateWorkflowTest, AcceptedWithoutSessionIsStageSix) {
  fake.create_answer = created("codex_cli", "  ", false);
  const auto result = run(request("codex_cli", ""));
  EXPECT_EQ(result.stage, create_stage::kNoStableSession);
  EXPECT_EQ(result.message,
            "provider accepted create but did not return a stable provider session ID");
  EXPECT_TRUE(fake.validations.empty());  // no initial message, nothing to check
  EXPECT_EQ(statuses(), (std::vector<std::string>{"requested", "provider_create_accepted",
                                                  "create_pending_no_session"}));
  const auto records = test::read_events(create_lifecycle_log_path(), "create_lifecycle");
  EXPECT_EQ(records.back()["first_message_hash"], "cbf29ce484222325");  // FNV-1a of no bytes
}

TEST_F(CreateWorkflowTest, SenderGoneAfterEnrollmentIsStageEight) {
  fake.create_answer = created("codex_cli", "codex_cli:session:new", false);
  // The sender, named by its session, disappears while the provider creates the session.
  fake.during_create = [] { test::write_registry(agents_registry_path(), {}); };
  CreateRequest r = request("codex_cli");
  r.from = "codex:session:alice";
  const auto result = run(r);
  EXPECT_EQ(result.stage, create_stage::kSenderLostAfterEnrol);
  EXPECT_EQ(result.message, "missing sender identity after create enrollment");
  EXPECT_TRUE(fake.deliveries.empty());
  EXPECT_EQ(rows_of("codex_cli:session:new").size(), 1u);
}

TEST(CreateWorkflowHash, FirstMessageHashIsFnv1a64) {
  // Published FNV-1a 64 test vectors.
  EXPECT_EQ(first_message_hash(""), "cbf29ce484222325");
  EXPECT_EQ(first_message_hash("a"), "af63dc4c8601ec8c");
  EXPECT_EQ(first_message_hash("foobar"), "85944171f73967e8");
}

}  // namespace
}  // namespace tessik
