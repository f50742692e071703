// Discovery merge: enrol, update, protect manual rows, downgrade, evidence-only Codex rows,
// skip incomplete candidates, remove stale rows after a complete scan; every decision logged.
#include "discovery/discovery_merge.h"

#include <gtest/gtest.h>

#include <fstream>

#include "discovery/targeted_discovery.h"
#include "registry/normalization.h"
#include "state/state_dir.h"
#include "support/jsonl_reader.h"
#include "support/registry_rows.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

namespace fs = std::filesystem;

DiscoveredCandidate candidate(const std::string& name, const std::string& session) {
  DiscoveredCandidate c;
  c.display_name = name;
  c.provider = "claude_code_cli";
  c.provider_session_id = session;
  c.node_id = "local";
  c.sendable_claim = true;
  c.second_proof = true;
  c.source = "claude_code_cli_jsonl";
  c.evidence = {"transcript", "mcp_config"};
  return c;
}

DiscoveryReport scan_report(std::vector<DiscoveredCandidate> candidates, bool complete) {
  DiscoveryReport report;
  report.provider = "claude_code_cli";
  report.node_id = "local";
  report.sources = {"claude_code_cli_jsonl"};
  report.complete = complete;
  report.discovered = std::move(candidates);
  return report;
}

const AgentRecord* find(const std::vector<AgentRecord>& rows, const std::string& session) {
  for (const AgentRecord& row : rows)
    if (row.provider_session_id == session) return &row;
  return nullptr;
}

class DiscoveryMergeTest : public ::testing::Test {
 protected:
  test::TempEnv env;
  Registry registry{agents_registry_path()};
  EvidenceLog log{events_log_path()};

  std::vector<nlohmann::json> decisions() {
    return test::read_events(events_log_path(), "discovery_enrollment_decision");
  }
};

TEST_F(DiscoveryMergeTest, EnrolsThenUpdatesASendableSession) {
  DiscoveryReport report = merge_discovered_agents_into_registry(
      scan_report({candidate("Reviewer", "s-1")}, false), registry, &log);
  EXPECT_EQ(report.rows_found, 1u);
  EXPECT_EQ(report.enrolled, 1u);
  EXPECT_TRUE(report.discovered[0].sendable);

  auto rows = test::registry_rows(registry.path());
  const AgentRecord* row = find(rows, "s-1");
  ASSERT_NE(row, nullptr);
  EXPECT_EQ(row->agent_id, "claude_code_cli:local:s-1");
  EXPECT_EQ(row->display_name, "Reviewer");
  EXPECT_TRUE(row->sendable);
  EXPECT_EQ(row->delivery_verification_source, "discovery_enrollment_proof:claude_code_cli_jsonl");
  EXPECT_TRUE(is_normalized_agent_ready(*row))
      << format_normalization_issues(check_normalized_agent(*row));
  EXPECT_NE(std::find(row->aliases.begin(), row->aliases.end(), "reviewer"), row->aliases.end());

  report = merge_discovered_agents_into_registry(
      scan_report({candidate("Senior Reviewer", "s-1")}, false), registry, &log);
  EXPECT_EQ(report.enrolled, 0u);
  EXPECT_EQ(report.updated, 1u);
  rows = test::registry_rows(registry.path());
  EXPECT_EQ(find(rows, "s-1")->display_name, "Senior Reviewer");
  EXPECT_EQ(std::count_if(rows.begin(), rows.end(),
                          [](const AgentRecord& r) { return r.provider_session_id == "s-1"; }),
            1);

  const auto events = decisions();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0]["action"], "enroll");
  EXPECT_EQ(events[0]["reason"], "new sendable target");
  EXPECT_EQ(events[0]["provider_session_id"], "s-1");
  EXPECT_EQ(events[0]["evidence"], "transcript|mcp_config");
  EXPECT_EQ(events[0]["sendable"], "true");
  EXPECT_EQ(events[1]["action"], "update");
  EXPECT_EQ(events[1]["reason"], "matched existing target identity");
  EXPECT_EQ(events[1]["matched_fields"], "provider+node+provider_session_id");
}

TEST_F(DiscoveryMergeTest, ManualRowsKeepSendabilityAndAutoRowsAreDowngraded) {
  AgentRecord manual = test::ready_row("manual-1", "Manual", "claude_code_cli", "s-m");
  manual.source = "manual";
  AgentRecord automatic = test::ready_row("auto-1", "Auto", "claude_code_cli", "s-a");
  automatic.source = "claude_code_cli_jsonl";
  test::write_registry(registry.path(), {manual, automatic});

  DiscoveredCandidate archived_manual = candidate("Manual", "s-m");
  archived_manual.status = "Archived";
  DiscoveredCandidate unproven_auto = candidate("Auto", "s-a");
  unproven_auto.second_proof = false;
  DiscoveryReport targeted = scan_report({archived_manual, unproven_auto}, true);
  targeted.provider_filter = "claude_code_cli";  // a targeted scan never removes rows
  merge_discovered_agents_into_registry(targeted, registry, &log);

  const auto rows = test::registry_rows(registry.path());
  ASSERT_NE(find(rows, "s-m"), nullptr);
  EXPECT_TRUE(find(rows, "s-m")->sendable);
  ASSERT_NE(find(rows, "s-a"), nullptr);
  EXPECT_FALSE(find(rows, "s-a")->sendable);
  EXPECT_EQ(find(rows, "s-a")->last_error,
            "latest discovery did not prove this target is sendable");

  const auto events = decisions();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0]["action"], "enrich_manual");
  EXPECT_EQ(events[0]["reason"], "manual row protected from discovery downgrade");
  EXPECT_EQ(events[1]["action"], "downgrade");
  EXPECT_EQ(events[1]["reason"], "latest discovery did not prove sendability");
  EXPECT_EQ(events[1]["sendable"], "false");
}

TEST_F(DiscoveryMergeTest, CompleteScanRemovesOnlyItsOwnStaleRows) {
  AgentRecord stale = test::ready_row("stale", "Stale", "claude_code_cli", "s-old");
  stale.source = "claude_code_cli_jsonl";
  AgentRecord manual = test::ready_row("manual", "Manual", "claude_code_cli", "s-man");
  manual.source = "manual";
  AgentRecord foreign = test::ready_row("foreign", "Foreign", "claude_code_cli", "s-f");
  foreign.source = "other_scan";
  AgentRecord other_provider = test::ready_row("cx", "Cx", "codex_cli", "s-cx");
  other_provider.source = "claude_code_cli_jsonl";
  AgentRecord archived = test::ready_row("arch", "Arch", "claude_code_cli", "s-arch");
  archived.source = "claude_code_cli_jsonl";
  test::write_registry(registry.path(), {stale, manual, foreign, other_provider, archived});

  DiscoveredCandidate archived_candidate = candidate("Arch", "s-arch");
  archived_candidate.status = "archived";
  const DiscoveryReport report = merge_discovered_agents_into_registry(
      scan_report({candidate("Live", "s-live"), archived_candidate}, true), registry, &log);

  const auto rows = test::registry_rows(registry.path());
  EXPECT_EQ(find(rows, "s-old"), nullptr);
  EXPECT_EQ(find(rows, "s-arch"), nullptr);  // a complete scan removes what a targeted one keeps
  EXPECT_NE(find(rows, "s-man"), nullptr);
  EXPECT_NE(find(rows, "s-f"), nullptr);
  EXPECT_NE(find(rows, "s-cx"), nullptr);
  EXPECT_NE(find(rows, "s-live"), nullptr);
  ASSERT_FALSE(report.notes.empty());
  EXPECT_EQ(report.notes.back(), "removed stale auto-discovered 2 registry rows: stale, arch");

  std::vector<std::string> removed;
  for (const auto& event : decisions()) {
    if (event["action"] == "remove_stale") removed.push_back(event["provider_session_id"]);
  }
  EXPECT_EQ(removed, (std::vector<std::string>{"s-old", "s-arch"}));
}

TEST_F(DiscoveryMergeTest, SkipsAndEvidenceOnlyCodexRows) {
  AgentRecord codex = test::ready_row("codex-1", "Codex", "codex", "thread-1");
  codex.source = "codex_desktop_state";
  test::write_registry(registry.path(), {codex});

  DiscoveredCandidate no_node = candidate("X", "s-x");
  no_node.node_id = " ";
  DiscoveredCandidate unproven = candidate("Y", "s-y");
  unproven.error = "session is read-only";
  DiscoveredCandidate codex_thread = candidate("Codex", "thread-1");
  codex_thread.provider = "codex";
  codex_thread.second_proof = true;  // not the proof that counts for local Codex
  DiscoveryReport report = scan_report({no_node, unproven, codex_thread}, false);
  report = merge_discovered_agents_into_registry(report, registry, &log);

  EXPECT_EQ(report.skipped, 1u);
  EXPECT_EQ(report.evidence_only_matches, 1u);
  EXPECT_EQ(report.enrolled, 0u);
  const auto rows = test::registry_rows(registry.path());
  EXPECT_EQ(find(rows, "s-y"), nullptr);
  ASSERT_NE(find(rows, "thread-1"), nullptr);
  EXPECT_FALSE(find(rows, "thread-1")->sendable);
  EXPECT_EQ(find(rows, "thread-1")->last_error,
            "local Codex row is evidence-only and not a valid delivery target");

  const auto events = decisions();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0]["action"], "skip");
  EXPECT_EQ(events[0]["reason"], "missing required identity fields");
  EXPECT_EQ(events[0]["trust_level"], "none");
  EXPECT_EQ(events[1]["reason"], "discovery row did not prove sendability");
  EXPECT_EQ(events[2]["action"], "update_evidence");
  EXPECT_EQ(events[2]["reason"], "matched existing local Codex evidence-only row");

  DiscoveredCandidate proven = codex_thread;
  proven.codex_desktop_proof = true;
  EXPECT_TRUE(is_candidate_sendable(proven));
}

TEST_F(DiscoveryMergeTest, RemoteRowNamedBySessionIsRepaired) {
  AgentRecord stale = test::ready_row("rm", "Planner", "remote", "planner");
  stale.node_id = "node-2";
  stale.source = "remote_listing";
  test::write_registry(registry.path(), {stale});
  const std::string old_public_id = test::registry_rows(registry.path())[0].public_agent_id;

  DiscoveredCandidate real = candidate("Planner", "a6f1c2de-0000-4000-8000-000000000001");
  real.provider = "remote";
  real.node_id = "node-2";
  real.source = "remote_listing";
  const DiscoveryReport report =
      merge_discovered_agents_into_registry(scan_report({real}, false), registry, &log);
  EXPECT_EQ(report.updated, 1u);
  const auto rows = test::registry_rows(registry.path());
  const AgentRecord* row = find(rows, "a6f1c2de-0000-4000-8000-000000000001");
  ASSERT_NE(row, nullptr);
  EXPECT_EQ(row->agent_id, "rm");
  EXPECT_NE(row->public_agent_id, old_public_id);
  EXPECT_EQ(find(rows, "planner"), nullptr);
  const auto events = decisions();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["matched_fields"], "remote_stale_name_row");
  EXPECT_EQ(events[0]["reason"], "repaired stale remote name row");
}

TEST_F(DiscoveryMergeTest, PlaceholderNamesNeverNameOrRenameARow) {
  merge_discovered_agents_into_registry(scan_report({candidate("New Chat", "s-p")}, false),
                                        registry, &log);
  EXPECT_EQ(find(test::registry_rows(registry.path()), "s-p")->display_name, "s-p");
  merge_discovered_agents_into_registry(scan_report({candidate("Planner", "s-p")}, false), registry,
                                        &log);
  merge_discovered_agents_into_registry(scan_report({candidate(" untitled ", "s-p")}, false),
                                        registry, &log);
  EXPECT_EQ(find(test::registry_rows(registry.path()), "s-p")->display_name, "Planner");
  EXPECT_TRUE(is_placeholder_display_name("UNKNOWN"));
  EXPECT_TRUE(is_placeholder_display_name("bad \xC0 name"));
  EXPECT_FALSE(is_placeholder_display_name("Unknown Soldier"));
}

TEST_F(DiscoveryMergeTest, RegistryFailureThrowsAndLogsNothing) {
  fs::create_directories(registry.path());  // a directory where the file belongs
  try {
    merge_discovered_agents_into_registry(scan_report({candidate("R", "s-1")}, false), registry,
                                          &log);
    FAIL() << "expected a registry error";
  } catch (const RegistryError& error) {
    EXPECT_EQ(std::string(error.what()).rfind("discovery registry transaction failed: io_error", 0),
              0u)
        << error.what();
  }
  EXPECT_TRUE(decisions().empty());
}

TEST_F(DiscoveryMergeTest, TargetedPassWithoutScansReportsZeroAndLogsItsEvent) {
  DiscoveryReport report;
  report.notes = {"left over"};
  const std::string outcome = discover_target_after_registry_miss(report, " Reviewer ", registry,
                                                                  nodes_registry_path(), log);
  EXPECT_EQ(outcome, "no_sendable_target_found");
  EXPECT_EQ(report.mode, "targeted");
  EXPECT_EQ(report.query, "Reviewer");
  EXPECT_EQ(report.rows_found + report.enrolled + report.updated + report.skipped, 0u);
  EXPECT_EQ(report.notes, (std::vector<std::string>{"No remote Tessik nodes are registered."}));
  const auto events =
      test::read_events(events_log_path(), "targeted_discovery_after_registry_miss");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["rows_found"], "0");
  EXPECT_EQ(events[0]["stop_reason"], "no_sendable_target_found");
  EXPECT_EQ(events[0]["summary"],
            "targeted discovery searched providers for exact target; rows_found=0; enrolled=0; "
            "updated=0; skipped=0; evidence_only_matches=0; issues=0; discovered=");

  DiscoveryReport sender_report;
  EXPECT_EQ(discover_sender_after_registry_miss(sender_report, "node-7", "bob", registry,
                                                nodes_registry_path(), log),
            "no_resolved_sender_found");
  EXPECT_EQ(sender_report.notes,
            (std::vector<std::string>{
                "Remote discovery is out of scope for local sender miss resolution."}));
  EXPECT_EQ(test::read_events(events_log_path(), "sender_discovery_after_registry_miss").size(),
            1u);
}

}  // namespace
}  // namespace tessik
