// Canonical provider keys, derived bindings, public ids, the readiness check and the three
// row notions the gateway relies on.
#include <gtest/gtest.h>

#include "base/sha256.h"
#include "registry/normalization.h"

namespace tessik {
namespace {

AgentRecord ready_row() {
  AgentRecord r;
  r.agent_id = "agent-1";
  r.display_name = "Worker";
  r.provider = "codex_cli";
  r.provider_session_id = "session-1";
  r.node_id = "local";
  r.sendable = true;
  r.source = "scan";
  r.delivery_verification_source = "probe";
  return r;
}

TEST(Normalization, CanonicalKeysAndSurfaces) {
  EXPECT_EQ(canonical_provider_key("  Codex-CLI \t"), "codex_cli");
  EXPECT_EQ(canonical_provider_key("agy"), "antigravity_cli");
  EXPECT_EQ(canonical_provider_key("opencode"), "opencode_cli");
  EXPECT_EQ(canonical_provider_key("VSCode-Copilot"), "vscode_copilot_backed");
  EXPECT_EQ(canonical_provider_key("Some-Thing"), "some-thing");
  EXPECT_EQ(provider_surface_for("codex_cli"), "command_line");
  EXPECT_EQ(provider_surface_for("cursor"), "editor");
  EXPECT_EQ(provider_surface_for("antigravity"), "agent_window");
  EXPECT_EQ(provider_surface_for("remote"), "network");
  EXPECT_EQ(provider_surface_for("tessik_mailbox"), "unknown");
  EXPECT_EQ(provider_surface_for(""), "");
  EXPECT_TRUE(is_known_provider("a2a"));
  EXPECT_FALSE(is_known_provider("tessik_mailbox"));
  EXPECT_FALSE(is_known_provider("codex-cli"));  // only canonical keys are known
  EXPECT_EQ(provider_edge_key("tessik_mailbox"), "");
  EXPECT_EQ(provider_session_key(""), "");
}

TEST(Normalization, MixedCaseProviderGetsItsBindings) {
  AgentRecord r = ready_row();
  r.provider = " Codex-CLI ";
  normalize_agent_record(r);
  EXPECT_EQ(r.provider, "codex_cli");
  EXPECT_EQ(r.provider_surface, "command_line");
  EXPECT_EQ(r.delivery_binding, "tessik.provider-edge.v1:codex_cli");
  EXPECT_EQ(r.response_identity_binding, "tessik.provider-session.v1:codex_cli");
  EXPECT_EQ(r.normalization_schema, "tessik.normalized-agent.v1");
  EXPECT_EQ(r.normalization_provenance, "source=scan");
  EXPECT_EQ(r.normalization_conflict_state, "none");
  EXPECT_TRUE(r.delivery_binding_verified);
  const NormalizationCheck check = check_normalized_agent(r);
  EXPECT_TRUE(check.ready);
  EXPECT_EQ(format_normalization_issues(check), "none");
}

TEST(Normalization, PublicIdDependsOnProviderSurfaceNodeAndSessionOnly) {
  AgentRecord a = ready_row();
  AgentRecord b = ready_row();
  b.agent_id = "another";
  b.display_name = "Other";
  b.node_id = "  LOCAL ";
  b.provider = "Codex-Cli";
  b.provider_surface = "editor";  // the stored surface does not count
  const std::string id = public_agent_id_for(a);
  EXPECT_EQ(id, public_agent_id_for(b));
  EXPECT_EQ(id, "tessik-agent-" +
                    sha256_hex("tessik.normalized-agent.public-id.v1\ncodex_cli\ncommand_line\n"
                               "local\nsession-1")
                        .substr(0, 32));
  EXPECT_EQ(id.size(), 45u);
  b.node_id = "node-2";
  EXPECT_NE(public_agent_id_for(b), id);

  // An existing public id is kept even when the inputs change.
  a.public_agent_id = "tessik-agent-kept";
  a.provider_session_id = "other";
  normalize_agent_record(a);
  EXPECT_EQ(a.public_agent_id, "tessik-agent-kept");
}

TEST(Normalization, BlankNodeLeavesIdentityIncomplete) {
  AgentRecord r = ready_row();
  r.node_id = "  ";
  normalize_agent_record(r);
  EXPECT_EQ(r.public_agent_id, "");
  const NormalizationCheck check = check_normalized_agent(r);
  EXPECT_FALSE(check.identity_complete);
  EXPECT_FALSE(check.ready);
  EXPECT_EQ(format_normalization_issues(check), "identity_fields_incomplete");
}

TEST(Normalization, MailboxRowFailsTheCheckButStaysDeliverable) {
  AgentRecord mailbox = builtin_mailbox_record();
  normalize_agent_record(mailbox);
  EXPECT_EQ(mailbox.provider_surface, "unknown");
  EXPECT_EQ(mailbox.delivery_binding, "");
  EXPECT_EQ(mailbox.response_identity_binding, "tessik.provider-session.v1:tessik_mailbox");
  const NormalizationCheck check = check_normalized_agent(mailbox);
  EXPECT_EQ(format_normalization_issues(check),
            "provider_surface_unknown,delivery_binding_invalid");
  EXPECT_FALSE(check.ready);
  EXPECT_TRUE(is_agent_deliverable(mailbox));
  EXPECT_TRUE(is_agent_a2a_exposed(mailbox));
  EXPECT_TRUE(is_agent_export_eligible(mailbox));
}

TEST(Normalization, LegacyAndConfidenceRules) {
  AgentRecord legacy = ready_row();
  legacy.delivery_verification_source.clear();
  normalize_agent_record(legacy);
  EXPECT_EQ(legacy.delivery_verification_source, "legacy_registry_sendable_state");
  EXPECT_EQ(legacy.normalization_confidence, 90);
  EXPECT_TRUE(legacy.delivery_binding_verified);

  AgentRecord modern = ready_row();
  modern.normalization_schema = kNormalizedAgentSchema;  // not legacy: no verification granted
  modern.delivery_verification_source.clear();
  normalize_agent_record(modern);
  EXPECT_EQ(modern.delivery_verification_source, "");
  EXPECT_EQ(modern.normalization_confidence, 60);
  EXPECT_FALSE(modern.delivery_binding_verified);

  AgentRecord manual = ready_row();
  manual.source = " Manual ";
  normalize_agent_record(manual);
  EXPECT_EQ(manual.normalization_confidence, 100);
  EXPECT_EQ(manual.normalization_provenance, "source=Manual");

  AgentRecord idle = ready_row();
  idle.sendable = false;
  idle.source.clear();
  idle.delivery_verification_source.clear();
  idle.normalization_confidence = 33;
  normalize_agent_record(idle);
  EXPECT_EQ(idle.normalization_confidence, 33);
  EXPECT_EQ(idle.normalization_provenance, "source=unknown");
  idle.normalization_confidence = 0;
  normalize_agent_record(idle);
  EXPECT_EQ(idle.normalization_confidence, 20);

  // An error or a mismatching binding withdraws verification on every pass.
  AgentRecord broken = ready_row();
  broken.last_error = "gone";
  normalize_agent_record(broken);
  EXPECT_FALSE(broken.delivery_binding_verified);
  AgentRecord rebound = ready_row();
  rebound.delivery_binding = "tessik.provider-edge.v1:cursor";
  normalize_agent_record(rebound);
  EXPECT_FALSE(rebound.delivery_binding_verified);
  EXPECT_EQ(format_normalization_issues(check_normalized_agent(rebound)),
            "delivery_binding_invalid,delivery_binding_unverified");
}

TEST(Normalization, UnknownSurfaceIsRederivedAndConflictsAreReported) {
  AgentRecord r = ready_row();
  r.provider_surface = " Unknown ";
  normalize_agent_record(r);
  EXPECT_EQ(r.provider_surface, "command_line");

  AgentRecord none = ready_row();
  none.normalization_conflict_state = "NONE";
  EXPECT_TRUE(check_normalized_agent(none).conflict_free);
  AgentRecord clash = ready_row();
  clash.normalization_conflict_state = "  Duplicate Session ";
  const NormalizationCheck check = check_normalized_agent(clash);
  EXPECT_FALSE(check.conflict_free);
  EXPECT_FALSE(check.ready);
  EXPECT_EQ(format_normalization_issues(check), "normalization_conflict:Duplicate Session");

  AgentRecord odd_schema = ready_row();
  odd_schema.normalization_schema = "tessik.normalized-agent.v0";
  EXPECT_EQ(format_normalization_issues(check_normalized_agent(odd_schema)),
            "normalization_schema_invalid");
}

TEST(Normalization, CheckDoesNotChangeTheRowAndReadinessNeedsEnabledAndSendable) {
  AgentRecord r = ready_row();
  const AgentRecord copy = r;
  EXPECT_TRUE(is_normalized_agent_ready(r));
  EXPECT_EQ(r, copy);
  r.enabled = false;
  const NormalizationCheck disabled = check_normalized_agent(r);
  EXPECT_FALSE(disabled.ready);
  EXPECT_TRUE(disabled.issues.empty());  // readiness has no issue word of its own
}

TEST(Normalization, ExposureAndExportEligibility) {
  AgentRecord r = ready_row();
  normalize_agent_record(r);
  EXPECT_TRUE(is_agent_a2a_exposed(r));
  EXPECT_TRUE(is_agent_export_eligible(r));
  EXPECT_TRUE(is_agent_deliverable(r));

  AgentRecord downgraded = r;
  downgraded.sendable = false;
  EXPECT_TRUE(is_agent_a2a_exposed(downgraded));
  EXPECT_FALSE(is_agent_export_eligible(downgraded));
  EXPECT_FALSE(is_agent_deliverable(downgraded));

  AgentRecord disabled = r;
  disabled.enabled = false;
  EXPECT_FALSE(is_agent_a2a_exposed(disabled));

  AgentRecord unverified = r;
  unverified.last_error = "probe failed";
  normalize_agent_record(unverified);
  EXPECT_TRUE(is_agent_export_eligible(unverified));  // the flag, not the check
  EXPECT_FALSE(is_agent_deliverable(unverified));

  for (std::string AgentRecord::*field :
       {&AgentRecord::agent_id, &AgentRecord::public_agent_id, &AgentRecord::provider,
        &AgentRecord::provider_session_id, &AgentRecord::node_id}) {
    AgentRecord missing = r;
    missing.*field = " ";
    EXPECT_FALSE(is_agent_a2a_exposed(missing));
  }
}

}  // namespace
}  // namespace tessik
