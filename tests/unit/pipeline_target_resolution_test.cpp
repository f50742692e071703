// Target resolution: exact ids before names, freshness between equal matches, ambiguity
// without discovery, disabled rows, the built-in mailbox, one targeted discovery per miss,
// the repair test, and registry failures surfacing as they are.
#include <gtest/gtest.h>

#include "pipeline/target_resolution.h"
#include "registry/normalization.h"
#include "registry/registry.h"
#include "state/state_dir.h"
#include "support/jsonl_reader.h"
#include "support/registry_rows.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

namespace fs = std::filesystem;

// A scan that counts its runs and offers a fixed set of candidates.
class FakeScan : public DiscoveryScan {
 public:
  mutable int runs = 0;
  mutable std::string last_query;
  std::vector<DiscoveredCandidate> candidates;
  bool fail = false;

  DiscoveryReport scan(const DiscoveryQuery& query) const override {
    ++runs;
    last_query = query.wanted_name;
    if (fail) throw std::runtime_error("transcript directory unreadable");
    DiscoveryReport report;
    report.provider = "claude_code_cli";
    report.node_id = "local";
    report.sources = {"claude_code_cli_jsonl"};
    report.provider_filter = "claude_code_cli";
    report.discovered = candidates;
    return report;
  }
};

class TargetResolutionTest : public ::testing::Test {
 protected:
  test::TempEnv env;
  FakeScan scan;
  DiscoveryScanList scans{&scan};
  PipelineContext context = [this] {
    PipelineContext c = default_pipeline_context();
    c.discovery_scans = &scans;
    return c;
  }();

  std::optional<AgentRecord> resolve(const std::string& target, DiscoveryReport* report = nullptr) {
    return resolve_target(context, target, "0123456789abcdef0123456789abcdef", report);
  }
  std::vector<nlohmann::json> events() { return test::read_jsonl(events_log_path()); }
  std::vector<std::string> event_types() {
    std::vector<std::string> types;
    for (const auto& e : events())
      types.push_back(e["event_type"]);
    return types;
  }
};

TEST_F(TargetResolutionTest, AgentIdBeatsDisplayNameAndHitsWriteNoEvents) {
  AgentRecord by_id = test::ready_row("alpha", "First", "claude_code_cli", "s-1");
  by_id.sendable = false;
  AgentRecord by_name = test::ready_row("other", "alpha", "claude_code_cli", "s-2");
  test::write_registry(context.registry.path(), {by_name, by_id});

  DiscoveryReport report;
  report.notes = {"stale"};
  const auto found = resolve(" alpha ", &report);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->agent_id, "alpha");
  EXPECT_TRUE(report.notes.empty()) << "a hit resets the caller's report";
  // The session id and its bare part after a marker both count as exact.
  test::write_registry(context.registry.path(),
                       {test::ready_row("c", "Cursor", "cursor", "cursor:composer:ABC-1")});
  EXPECT_EQ(resolve("ABC-1")->agent_id, "c");
  EXPECT_EQ(resolve("cursor:composer:ABC-1")->agent_id, "c");
  EXPECT_TRUE(events().empty());
  EXPECT_EQ(scan.runs, 0);
}

TEST_F(TargetResolutionTest, FresherRowWinsASharedSlot) {
  AgentRecord older = test::ready_row("b-older", "Twin", "claude_code_cli", "shared");
  older.last_seen_at = "2026-01-01T00:00:00Z";
  AgentRecord newer = test::ready_row("a-newer", "Twin", "claude_code_cli", "shared");
  newer.last_seen_at = "2026-02-01T00:00:00Z";
  AgentRecord not_sendable = test::ready_row("z-idle", "Twin", "claude_code_cli", "shared");
  not_sendable.sendable = false;
  not_sendable.last_seen_at = "2027-01-01T00:00:00Z";
  test::write_registry(context.registry.path(), {older, not_sendable, newer});
  EXPECT_EQ(resolve("shared")->agent_id, "a-newer");

  newer.last_seen_at = older.last_seen_at;  // equal keys: the greater agent id wins
  test::write_registry(context.registry.path(), {newer, older});
  EXPECT_EQ(resolve("shared")->agent_id, "b-older");
}

TEST_F(TargetResolutionTest, SharedNameIsAmbiguousWithoutDiscovery) {
  test::write_registry(context.registry.path(),
                       {test::ready_row("r1", "Reviewer", "claude_code_cli", "s-1"),
                        test::ready_row("r2", "reviewer agent", "claude_code_cli", "s-2")});
  DiscoveryReport report;
  EXPECT_FALSE(resolve("REVIEWER", &report));
  EXPECT_EQ(scan.runs, 0);
  EXPECT_EQ(report.mode, "registry");
  ASSERT_GE(report.notes.size(), 2u);
  EXPECT_EQ(report.notes[0], "Target name is ambiguous.");
  EXPECT_EQ(report.notes[1], "Use one exact provider session id: s-1, s-2");
  const auto logged = events();
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0]["event_type"], "registry_target_ambiguous");
  EXPECT_EQ(logged[0]["target"], "REVIEWER");
  EXPECT_EQ(logged[0]["candidate_count"], "2");
  EXPECT_EQ(logged[0]["candidate_session_ids"], "s-1, s-2");
  EXPECT_EQ(logged[0]["action"], "fail_without_discovery");
}

TEST_F(TargetResolutionTest, DisabledRowsAreInvisible) {
  AgentRecord disabled = test::ready_row("r-off", "Reviewer", "claude_code_cli", "s-off");
  disabled.enabled = false;
  test::write_registry(context.registry.path(),
                       {disabled, test::ready_row("r-on", "Reviewer", "claude_code_cli", "s-on")});
  EXPECT_EQ(resolve("reviewer")->agent_id, "r-on");  // not ambiguous
  EXPECT_FALSE(resolve("r-off"));
  EXPECT_EQ(scan.runs, 1);
}

TEST_F(TargetResolutionTest, BuiltInMailboxAnswersItsNames) {
  for (const char* name :
       {"mailbox", "Tessik Mailbox Agent", "tessik_mailbox:default", " Tessik-Mailbox "}) {
    const auto found = resolve(name);
    ASSERT_TRUE(found) << name;
    EXPECT_EQ(found->agent_id, "tessik-mailbox-local-default") << name;
  }
  // Even when the registry carries a disabled mailbox row, its names still reach the mailbox.
  AgentRecord disabled = builtin_mailbox_record();
  disabled.enabled = false;
  test::write_registry(context.registry.path(), {disabled});
  const auto fallback = resolve("Tessik Mailbox");
  ASSERT_TRUE(fallback);
  EXPECT_TRUE(fallback->enabled);
  EXPECT_TRUE(events().empty());
}

TEST_F(TargetResolutionTest, UserRowNamedMailboxWinsOverTheBuiltInOne) {
  const AgentRecord user = test::ready_row("u-1", "Mailbox", "claude_code_cli", "s-mailbox");
  test::write_registry(context.registry.path(), {user});
  for (const char* name : {"mailbox", " MAILBOX agent"}) {
    const auto found = resolve(name);
    ASSERT_TRUE(found) << name;
    EXPECT_EQ(found->agent_id, "u-1") << name;
  }
  EXPECT_EQ(target_name_candidates(load_registry(context.registry), "mailbox").size(), 1u);
  // The built-in mailbox keeps every name the user row does not take, and its exact ids.
  for (const char* name : {"tessik-mailbox", "tessik_mailbox:default", "Tessik Mailbox"}) {
    const auto found = resolve(name);
    ASSERT_TRUE(found) << name;
    EXPECT_EQ(found->agent_id, "tessik-mailbox-local-default") << name;
  }
  EXPECT_TRUE(events().empty());
  EXPECT_EQ(scan.runs, 0);
}

TEST_F(TargetResolutionTest, MissRunsOneTargetedDiscovery) {
  DiscoveryReport report;
  EXPECT_FALSE(resolve("Nobody", &report));
  EXPECT_EQ(scan.runs, 1);
  EXPECT_EQ(scan.last_query, "Nobody");
  EXPECT_EQ(report.mode, "targeted");
  EXPECT_EQ(event_types(), (std::vector<std::string>{"registry_target_miss",
                                                     "targeted_discovery_after_registry_miss"}));
  const auto miss = events()[0];
  EXPECT_EQ(miss["action"], "targeted_discovery_once");
  EXPECT_EQ(miss["reason"], "not_found");
  EXPECT_EQ(miss["message_id"], "0123456789abcdef0123456789abcdef");
}

TEST_F(TargetResolutionTest, FailingScanBecomesANoteAndResolutionGoesOn) {
  scan.fail = true;
  DiscoveryReport report;
  EXPECT_FALSE(resolve("Nobody", &report));
  EXPECT_EQ(scan.runs, 1);
  EXPECT_EQ(report.issues, 1u);
  ASSERT_FALSE(report.notes.empty());
  EXPECT_EQ(report.notes[0], "targeted discovery scan failed: transcript directory unreadable");
  EXPECT_EQ(events().back()["issues"], "1");
}

TEST_F(TargetResolutionTest, MissFoundByDiscoveryIsAnswered) {
  DiscoveredCandidate found;
  found.display_name = "Nobody";
  found.provider = "claude_code_cli";
  found.provider_session_id = "s-new";
  found.node_id = "local";
  found.sendable_claim = true;
  found.second_proof = true;
  found.source = "claude_code_cli_jsonl";
  scan.candidates = {found};

  const auto row = resolve("nobody agent");
  ASSERT_TRUE(row);
  EXPECT_EQ(row->provider_session_id, "s-new");
  EXPECT_EQ(scan.runs, 1);
  const auto logged = events();
  ASSERT_FALSE(logged.empty());
  EXPECT_EQ(logged.back()["event_type"], "registry_target_found_after_targeted_discovery");
  EXPECT_EQ(logged.back()["target"], "Nobody");
  EXPECT_EQ(logged.back()["provider"], "claude_code_cli");
  EXPECT_EQ(logged.back()["node_id"], "local");
}

TEST_F(TargetResolutionTest, RowsNeedingRepairAreNeverAnsweredUnrepaired) {
  AgentRecord codex = test::ready_row("cx", "Workspace Thread", "codex", "thread-9");
  codex.source = "codex_active_workspace_vscode_thread";
  AgentRecord remote = test::ready_row("rm", "Planner", "remote", "planner");
  remote.node_id = "node-2";
  remote.source = "remote_listing";
  test::write_registry(context.registry.path(), {codex, remote});

  EXPECT_FALSE(resolve("thread-9"));
  EXPECT_EQ(scan.runs, 1);
  EXPECT_EQ(event_types(), (std::vector<std::string>{"registry_target_requires_repair",
                                                     "targeted_discovery_after_registry_miss",
                                                     "registry_target_still_requires_repair"}));
  const auto still = events().back();
  EXPECT_EQ(still["target"], "Workspace Thread");
  EXPECT_EQ(still["provider"], "codex");
  EXPECT_EQ(still["provider_session_id"], "thread-9");
  EXPECT_EQ(events()[0]["reason"], "target_requires_discovery_repair");

  EXPECT_TRUE(target_requires_discovery_repair(remote));
  remote.source = "manual";
  EXPECT_FALSE(target_requires_discovery_repair(remote));
  AgentRecord unverified = test::ready_row("u", "U", "cursor", "s-u");
  unverified.normalization_schema = kNormalizedAgentSchema;
  unverified.delivery_verification_source.clear();
  EXPECT_TRUE(target_requires_discovery_repair(unverified));
  EXPECT_FALSE(target_requires_discovery_repair(builtin_mailbox_record()));
  // Not sendable is the pipeline's refusal to word, not something discovery repairs.
  AgentRecord downgraded = test::ready_row("d", "D", "cursor", "s-d");
  downgraded.sendable = false;
  downgraded.last_error = "latest discovery did not prove this target is sendable";
  EXPECT_FALSE(target_requires_discovery_repair(downgraded));
}

TEST_F(TargetResolutionTest, RegistryFailurePropagatesInsteadOfMissing) {
  fs::create_directories(context.registry.path());
  try {
    resolve("anyone");
    FAIL() << "expected the registry's error";
  } catch (const RegistryError& error) {
    EXPECT_EQ(std::string(error.what()).rfind("registry load failed: io_error", 0), 0u)
        << error.what();
  }
  EXPECT_EQ(scan.runs, 0);
  EXPECT_TRUE(events().empty());
}

}  // namespace
}  // namespace tessik
