// Sender resolution: match classes, tie-breaks, session id recognition and outcome words.
#include <gtest/gtest.h>

#include "registry/registry.h"
#include "registry/sender_resolution.h"
#include "state/state_dir.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

AgentRecord row(std::string id, std::string name, std::string session, bool sendable = true) {
  AgentRecord r;
  r.agent_id = std::move(id);
  r.display_name = std::move(name);
  r.provider = "claude_code_cli";
  r.provider_session_id = std::move(session);
  r.node_id = "local";
  r.sendable = sendable;
  return r;
}

class SenderTest : public ::testing::Test {
 protected:
  void store(std::vector<AgentRecord> rows) {
    const auto result = mutate_registry(
        registry_.path(),
        [&](std::vector<AgentRecord>& current, const RegistrySnapshotMetadata&) {
          for (AgentRecord& r : rows)
            current.push_back(r);
          return true;
        },
        RegistryMutationOptions{RegistryDeadline::after(2'000'000'000), std::nullopt});
    ASSERT_EQ(result.status, RegistryStatus::committed) << result.error;
  }

  test::TempEnv env_;
  Registry registry_{agents_registry_path()};
};

TEST(SenderText, SessionIdShapesAndTails) {
  EXPECT_TRUE(looks_like_provider_session_id(" 0F8fAD5B-D9CB-469F-A165-70867728950E "));
  for (const char* text :
       {"0f8fad5b-d9cb-469f-a165-70867728950", "0f8fad5b+d9cb-469f-a165-70867728950e",
        "0f8fad5b-d9cb-469f-a165-70867728950g"})
    EXPECT_FALSE(looks_like_provider_session_id(text)) << text;
  for (const char* text : {"x:SESSION:y", "Codex-Thread:abc", "cursor:composer:1"})
    EXPECT_TRUE(looks_like_provider_session_id(text)) << text;
  EXPECT_FALSE(looks_like_provider_session_id("my cursor:composer:1"));
  EXPECT_FALSE(looks_like_provider_session_id("Alice"));
  EXPECT_EQ(session_tail("  Cursor:Composer:AbC  "), "AbC");
  EXPECT_EQ(session_tail("claude:session: Xy "), "Xy");
  // ":session:" is tried before the longer markers.
  EXPECT_EQ(session_tail("antigravity:cascade:a:session:b"), "b");
  EXPECT_EQ(session_tail("codex-thread:abc"), "");
}

TEST(SenderText, RowTests) {
  AgentRecord r = row("id-1", "Builder", "cursor:composer:c1");
  r.aliases = {"Helper", "0f8fad5b-d9cb-469f-a165-70867728950e"};
  EXPECT_TRUE(matches_sender_agent_id(r, " id-1 "));
  EXPECT_FALSE(matches_sender_agent_id(r, "ID-1"));
  EXPECT_TRUE(matches_sender_session(r, "cursor:composer:c1"));
  EXPECT_TRUE(matches_sender_session(r, "c1"));
  EXPECT_TRUE(matches_sender_session(r, "0f8fad5b-d9cb-469f-a165-70867728950e"));
  EXPECT_FALSE(matches_sender_session(r, "Helper"));  // alias that is not a session id
  EXPECT_FALSE(matches_sender_session(r, " "));
  EXPECT_TRUE(matches_sender_name(r, "  builder "));
  EXPECT_TRUE(matches_sender_name(r, "HELPER"));
  EXPECT_FALSE(display_name_is_session_fallback(r));
  AgentRecord fallback = row("id-2", "c1", "cursor:composer:c1");
  EXPECT_FALSE(display_name_is_session_fallback(fallback));  // "c1" is no session id shape
  fallback.display_name = "cursor:composer:c1";
  EXPECT_TRUE(display_name_is_session_fallback(fallback));
}

TEST_F(SenderTest, BlankSenderAndUnregisteredTexts) {
  const SenderResolution blank = resolve_sender(registry_, "   ", "");
  EXPECT_EQ(blank.source, "missing_explicit_agent");
  EXPECT_EQ(blank.reason, "explicit sender was empty");
  EXPECT_FALSE(blank.resolved);

  const SenderResolution plain = resolve_sender(registry_, " Someone ", " ");
  EXPECT_EQ(plain.source, "explicit_agent");
  EXPECT_TRUE(plain.resolved);
  EXPECT_EQ(plain.sender, "Someone");
  EXPECT_EQ(plain.node_id, "local");

  const SenderResolution thread = resolve_sender(registry_, "codex-thread:zzz", "local");
  EXPECT_EQ(thread.source, "unresolved_sender_session");
  EXPECT_EQ(thread.reason, "sender session id did not match a registered Tessik sender");
  EXPECT_FALSE(thread.resolved);
  EXPECT_EQ(thread.sender, "codex-thread:zzz");
}

TEST_F(SenderTest, SessionAndNameMatchesUseTheDisplayName) {
  store({row("a1", " Planner ", "claude:session:abc"), row("a2", "", "claude:session:nameless")});
  const SenderResolution by_session = resolve_sender(registry_, "claude:session:abc", "local");
  EXPECT_EQ(by_session.source, "registry_session");
  EXPECT_EQ(by_session.reason, "explicit sender session resolved to registered display name");
  EXPECT_EQ(by_session.sender, "Planner");
  EXPECT_EQ(by_session.sender_session_id, "claude:session:abc");
  ASSERT_TRUE(by_session.record);
  EXPECT_EQ(by_session.record->agent_id, "a1");

  EXPECT_EQ(resolve_sender(registry_, "abc", "").source, "registry_session");  // the tail
  EXPECT_EQ(resolve_sender(registry_, "PLANNER", "").source, "registry_name");
  EXPECT_EQ(resolve_sender(registry_, "a1", "").source, "registry_name");  // id, no session

  const SenderResolution nameless = resolve_sender(registry_, "a2", "");
  EXPECT_EQ(nameless.source, "registry_sender_missing_display_name");
  EXPECT_FALSE(nameless.resolved);
}

TEST_F(SenderTest, SessionIdAsDisplayNameGivesTheFallbackWords) {
  store({row("f1", "claude:session:ffff", "claude:session:ffff")});
  EXPECT_EQ(resolve_sender(registry_, "claude:session:ffff", "").source,
            "registry_session_id_display_fallback");
  const SenderResolution by_id = resolve_sender(registry_, "f1", "");
  EXPECT_EQ(by_id.source, "registry_name_session_id_display_fallback");
  EXPECT_EQ(by_id.reason, "explicit sender resolved with session id display fallback");
}

TEST_F(SenderTest, AmbiguousNamesOtherNodesAndDisabledRowsNeverMatch) {
  AgentRecord disabled = row("d1", "Solo", "s-d1");
  disabled.enabled = false;
  AgentRecord remote = row("r1", "Solo", "s-r1");
  remote.node_id = "node-b";
  store({row("n1", "Twin", "s-n1"), row("n2", "twin", "s-n2"), disabled, remote});

  EXPECT_FALSE(find_sender_record(registry_, "local", "TWIN"));
  EXPECT_EQ(resolve_sender(registry_, "twin", "").source, "explicit_agent");
  EXPECT_FALSE(find_sender_record(registry_, "local", "Solo"));
  EXPECT_FALSE(find_sender_record(registry_, "local", "d1"));
  const SenderResolution on_b = resolve_sender(registry_, "solo", "node-b");
  EXPECT_EQ(on_b.source, "registry_name");
  EXPECT_EQ(on_b.node_id, "node-b");
  // A UUID-shaped text that matches nothing is an unregistered session.
  EXPECT_EQ(resolve_sender(registry_, "0f8fad5b-d9cb-469f-a165-70867728950e", "").source,
            "unresolved_sender_session");
}

TEST(SenderSelection, TieBreaks) {
  AgentRecord old_sendable = row("b-old", "Old", "dup");
  old_sendable.last_seen_at = "2026-01-01T00:00:00Z";
  AgentRecord new_idle = row("c-new", "New", "dup", false);
  new_idle.last_seen_at = "2026-06-01T00:00:00Z";
  // Sendable beats newer among session matches.
  EXPECT_EQ(find_sender_record_in({new_idle, old_sendable}, "local", "dup")->agent_id, "b-old");

  AgentRecord newer = row("a-newer", "Newer", "dup");
  newer.last_seen_at = "2026-03-01T00:00:00Z";
  EXPECT_EQ(find_sender_record_in({old_sendable, newer}, "local", "dup")->agent_id, "a-newer");
  EXPECT_EQ(find_sender_record_in({newer, old_sendable}, "local", "dup")->agent_id, "a-newer");

  // Recency falls back to last_verified_at then first_seen_at; any key beats none.
  AgentRecord verified = row("v", "V", "dup");
  verified.last_verified_at = "2026-02-01T00:00:00Z";
  AgentRecord keyless = row("z-keyless", "K", "dup");
  EXPECT_EQ(find_sender_record_in({keyless, verified}, "local", "dup")->agent_id, "v");
  // Equal keys: the greater agent id wins.
  AgentRecord twin_a = row("a", "A", "dup");
  AgentRecord twin_b = row("b", "B", "dup");
  EXPECT_EQ(find_sender_record_in({twin_b, twin_a}, "local", "dup")->agent_id, "b");

  // An agent-id match beats a session match, even a sendable one.
  AgentRecord by_id = row("dup", "ById", "elsewhere", false);
  EXPECT_EQ(find_sender_record_in({old_sendable, by_id}, "local", "dup")->agent_id, "dup");
  // A single name match counts; sendable is not needed.
  AgentRecord named = row("n", "Named", "s", false);
  EXPECT_EQ(find_sender_record_in({named}, "local", "named")->agent_id, "n");
}

}  // namespace
}  // namespace tessik
