// The rename workflow through an injected rename edge: preconditions that never reach the
// provider, verified and unverified renames, refusals and rows the registry no longer has.
#include <gtest/gtest.h>

#include "base/text.h"
#include "lifecycle/rename_workflow.h"
#include "state/state_dir.h"
#include "support/jsonl_reader.h"
#include "support/registry_rows.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

constexpr char kSession[] = "claude_code_cli:session:0f8e2c1a-1111-4222-8333-944445555666";

class RenameWorkflowTest : public ::testing::Test {
 protected:
  RenameWorkflowTest() {
    test::write_registry(agents_registry_path(),
                         {test::ready_row("alpha-id", "Alpha", "claude_code_cli", kSession),
                          test::ready_row("other", "Other", "codex", "codex:session:1")});
  }

  RenameRequest request_for(const AgentRecord& target, const std::string& name) {
    RenameRequest request;
    request.target = target;
    request.requested_name = name;
    return request;
  }
  AgentRecord alpha() const { return row("alpha-id"); }
  AgentRecord row(const std::string& agent_id) const {
    for (const AgentRecord& row : test::registry_rows(agents_registry_path()))
      if (row.agent_id == agent_id) return row;
    ADD_FAILURE() << "no row " << agent_id;
    return {};
  }
  std::vector<std::string> lifecycle_events() const {
    std::vector<std::string> types;
    for (const auto& record : test::read_jsonl(create_lifecycle_log_path()))
      types.push_back(record.value("event_type", ""));
    return types;
  }
  // An edge that counts its calls and answers `answer`.
  std::function<RenameResult(const RenameRequest&)> edge(RenameResult answer) {
    return [this, answer](const RenameRequest&) {
      ++edge_calls;
      return answer;
    };
  }

  test::TempEnv env;
  Registry registry{agents_registry_path()};
  LifecycleLogs logs = default_lifecycle_logs();
  int edge_calls = 0;
};

RenameResult accepted(const std::string& verification, const std::string& title,
                      const std::string& error = "") {
  RenameResult result;
  result.provider = "claude_code_cli";
  result.state = verification == "verified" ? "renamed_session" : "unverified";
  result.accepted = true;
  result.method = "renamed_claude_cli_native_name_flag";
  result.verification_state = verification;
  result.provider_title = title;
  result.evidence = "provider_title_verified=" + std::string(verification == "verified" ? "true" : "false");
  result.error = error;
  return result;
}

TEST_F(RenameWorkflowTest, PreconditionsStopBeforeTheProviderAndWriteNothing) {
  AgentRecord no_session = alpha();
  no_session.provider_session_id = "  ";
  const std::string before = test::read_file(agents_registry_path());

  auto result = rename_agent_workflow(request_for(no_session, "Beta"), registry, logs,
                                      edge(accepted("verified", "Beta")));
  EXPECT_EQ(result.error, "rename target is missing provider identity");
  result = rename_agent_workflow(request_for(alpha(), " \t "), registry, logs,
                                 edge(accepted("verified", "Beta")));
  EXPECT_EQ(result.error, "rename requires a non-empty name");
  EXPECT_FALSE(result.ok());

  EXPECT_EQ(edge_calls, 0);
  EXPECT_TRUE(lifecycle_events().empty());
  EXPECT_EQ(test::read_file(agents_registry_path()), before);
}

TEST_F(RenameWorkflowTest, VerifiedRenameTakesTheProviderTitle) {
  const AgentRecord before = alpha();
  const std::string started = utc_timestamp_now();
  const auto result = rename_agent_workflow(request_for(before, "Beta"), registry, logs,
                                            edge(accepted("verified", " Beta ")));
  ASSERT_TRUE(result.ok()) << result.error;
  EXPECT_TRUE(result.verified);
  EXPECT_EQ(result.old_registry_name, "Alpha");

  const AgentRecord after = alpha();
  EXPECT_EQ(after.display_name, "Beta");
  EXPECT_NE(std::find(after.aliases.begin(), after.aliases.end(), "Alpha"), after.aliases.end());
  EXPECT_NE(std::find(after.aliases.begin(), after.aliases.end(), "Beta"), after.aliases.end());
  EXPECT_EQ(after.last_error, "");
  EXPECT_NE(after.last_verified_at, before.last_verified_at);
  EXPECT_GE(after.last_verified_at, started);
  EXPECT_EQ(after.source, "renamed_claude_cli_native_name_flag");
  ASSERT_TRUE(result.updated);
  EXPECT_EQ(result.updated->display_name, "Beta");
  EXPECT_EQ(row("other").display_name, "Other");

  EXPECT_EQ(lifecycle_events(), (std::vector<std::string>{"rename_requested", "rename_verified"}));
  const auto verified = test::read_events(create_lifecycle_log_path(), "rename_verified");
  ASSERT_EQ(verified.size(), 1u);
  EXPECT_EQ(verified[0]["registry_display_name"], "Beta");
  EXPECT_EQ(verified[0]["old_registry_name"], "Alpha");
  EXPECT_EQ(verified[0]["accepted"], "true");
  EXPECT_EQ(verified[0]["verified_provider_title"], "Beta");

  const auto updated = test::read_jsonl(events_log_path());
  ASSERT_EQ(updated.size(), 1u);
  EXPECT_EQ(updated[0]["event_type"], "rename_registry_updated");
  std::vector<std::string> keys;
  for (const auto& [key, value] : updated[0].items()) keys.push_back(key);
  // The JSON reader sorts keys, so compare the set; the order is checked on the raw line.
  const std::string line = test::read_file(events_log_path());
  EXPECT_LT(line.find("\"provider\""), line.find("\"provider_session_id\""));
  EXPECT_LT(line.find("\"requested_new_name\""), line.find("\"verified_provider_title\""));
  EXPECT_LT(line.find("\"registry_display_name\""), line.find("\"evidence\""));
  EXPECT_EQ(updated[0]["registry_display_name"], "Beta");
  EXPECT_EQ(keys.size(), 12u);
}

TEST_F(RenameWorkflowTest, UnverifiedRenameKeepsTheNameAndSaysWhy) {
  auto result = rename_agent_workflow(request_for(alpha(), "Beta"), registry, logs,
                                      edge(accepted("unverified", "Alpha")));
  ASSERT_TRUE(result.ok()) << result.error;
  EXPECT_FALSE(result.verified);
  AgentRecord after = alpha();
  EXPECT_EQ(after.display_name, "Alpha");
  EXPECT_EQ(after.last_error, "rename accepted but provider title was not verified");
  EXPECT_NE(std::find(after.aliases.begin(), after.aliases.end(), "Beta"), after.aliases.end());
  EXPECT_EQ(test::read_events(create_lifecycle_log_path(), "rename_unverified").size(), 1u);

  // "verified" with an empty title read back is not a proof either; the edge's error is kept.
  result = rename_agent_workflow(
      request_for(alpha(), "Gamma"), registry, logs,
      edge(accepted("verified", "  ", "Claude CLI did not persist the requested session name")));
  EXPECT_FALSE(result.verified);
  after = alpha();
  EXPECT_EQ(after.display_name, "Alpha");
  EXPECT_EQ(after.last_error, "Claude CLI did not persist the requested session name");
}

TEST_F(RenameWorkflowTest, MailboxRefusalAtTheEdgeChangesNothing) {
  const std::string before = test::read_file(agents_registry_path());
  const auto result =
      rename_agent_workflow(request_for(builtin_mailbox_record(), "Inbox"), registry, logs);
  EXPECT_EQ(result.error, "Tessik Mailbox is a reserved built-in endpoint and cannot be renamed");
  EXPECT_EQ(result.edge.method, "tessik_mailbox_reserved_name");
  EXPECT_FALSE(result.updated);
  EXPECT_EQ(test::read_file(agents_registry_path()), before);
  EXPECT_EQ(lifecycle_events(), (std::vector<std::string>{"rename_requested", "rename_failed"}));
  EXPECT_FALSE(std::filesystem::exists(events_log_path()));
}

TEST_F(RenameWorkflowTest, EdgeThatNeitherAcceptsNorExplainsStillFails) {
  // An edge reporting a rename without accepting it must not pass as a success.
  RenameResult silent = accepted("verified", "Beta");
  silent.accepted = false;
  const std::string before = test::read_file(agents_registry_path());
  const auto result = rename_agent_workflow(request_for(alpha(), "Beta"), registry, logs, edge(silent));
  EXPECT_FALSE(result.ok());
  EXPECT_EQ(result.error, "provider did not accept the rename (state renamed_session)");
  EXPECT_FALSE(result.updated);
  EXPECT_EQ(test::read_file(agents_registry_path()), before);
}

TEST_F(RenameWorkflowTest, RowFoundByNameOrReportedMissing) {
  // A stale session id still finds the row by its display name.
  AgentRecord stale = alpha();
  stale.provider_session_id = "claude_code_cli:session:stale";
  auto result = rename_agent_workflow(request_for(stale, "Beta"), registry, logs,
                                      edge(accepted("verified", "Beta")));
  ASSERT_TRUE(result.ok()) << result.error;
  EXPECT_EQ(alpha().display_name, "Beta");

  AgentRecord gone = test::ready_row("gone", "Nobody", "claude_code_cli", "claude_code_cli:session:x");
  const std::string before = test::read_file(agents_registry_path());
  result = rename_agent_workflow(request_for(gone, "Beta2"), registry, logs,
                                 edge(accepted("verified", "Beta2")));
  EXPECT_EQ(result.error, "provider accepted rename but the registry row was not found");
  EXPECT_EQ(test::read_file(agents_registry_path()), before);
  const auto failed = test::read_events(create_lifecycle_log_path(), "rename_registry_update_failed");
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0]["reason"], "provider accepted rename but the registry row was not found");
}

}  // namespace
}  // namespace tessik
