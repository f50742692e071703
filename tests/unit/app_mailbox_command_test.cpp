// `tessik mailbox` run as a real process: newest-first listing, JSON, exact --show output,
// and refusals.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "pipeline/final_visible_body.h"
#include "providers/mailbox/mailbox_store.h"
#include "state/state_dir.h"
#include "support/command_run.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

namespace fs = std::filesystem;

class MailboxCommandTest : public ::testing::Test {
 protected:
  test::TempEnv env;

  test::CommandRun run(const std::string& args) { return test::run_tessik(env.root(), "mailbox " + args); }

  void store(const std::string& id, const std::string& at, const std::string& body,
             const std::string& sender = "") {
    MailboxMessage message;
    message.message_id = id;
    message.received_at = at;
    message.target_display_name = "Tessik Mailbox";
    message.sender_name = sender.empty() ? "sender-" + id : sender;
    message.final_visible_body = body;
    ASSERT_TRUE(write_mailbox_message(mailbox_messages_directory(), message).ok);
  }
};

TEST_F(MailboxCommandTest, ListsNewestFirstAndShowsOneBodyExactly) {
  const test::CommandRun empty = run("");  // no spool yet: nothing stored, not an error
  EXPECT_EQ(empty.code, 0);
  EXPECT_EQ(empty.out, "");
  EXPECT_EQ(empty.err, "tessik mailbox: no stored messages\n");
  store("old", "2026-01-01T00:00:00Z", "first line\nsecond line");
  store("new", "2026-03-01T00:00:00Z", "latest\n");
  std::ofstream(mailbox_messages_directory() / "broken.json") << "{}";

  const test::CommandRun listing = run("");
  EXPECT_EQ(listing.code, 0);
  EXPECT_EQ(listing.out,
            "new\t2026-03-01T00:00:00Z\tsender-new\trelayed\tTessik Mailbox\tlatest\n"
            "old\t2026-01-01T00:00:00Z\tsender-old\trelayed\tTessik Mailbox\tfirst line\n"
            "FAILED\tbroken.json\t\t\t\tunsupported or missing mailbox schema_version\n");

  const test::CommandRun json = run("--json");
  ASSERT_EQ(json.code, 0);
  const auto parsed = nlohmann::json::parse(json.out);
  ASSERT_EQ(parsed.size(), 3u);
  EXPECT_EQ(parsed[0]["message_id"], "new");
  EXPECT_EQ(parsed[0]["final_visible_body"], "latest\n");
  EXPECT_EQ(parsed[0]["body_bytes"], 7);
  EXPECT_EQ(parsed[0]["delivery_method"], "tessik_mailbox_atomic_spool");
  EXPECT_EQ(parsed[2]["failed"], true);

  const test::CommandRun shown = run("--show old");
  EXPECT_EQ(shown.code, 0);
  EXPECT_EQ(shown.out, "first line\nsecond line");
}

// A sender that resolved by name but has no session address is stored as resolved while its
// envelope says no reply can be sent; the listing must say the latter, with the sender's text.
TEST_F(MailboxCommandTest, ListingSaysWhetherTheAssistantCanReply) {
  for (const auto& [id, session] : {std::pair{"m-tool", "claude_code_cli:session:1"},
                                    std::pair{"m-none", ""}}) {
    FinalBodyContext context;
    context.body = std::string("hello from ") + id + "\nmore";
    context.sender.resolved = true;
    context.sender.sender = std::string("sender-") + id;
    context.sender.sender_session_id = session;
    context.message_id = id;
    store(id, id == std::string("m-tool") ? "2026-02-01T00:00:00Z" : "2026-01-01T00:00:00Z",
          build_final_visible_body(context).final_visible_body);
  }
  EXPECT_EQ(run("").out,
            "m-tool\t2026-02-01T00:00:00Z\tsender-m-tool\treply-by-tool\tTessik Mailbox\thello "
            "from m-tool\n"
            "m-none\t2026-01-01T00:00:00Z\tsender-m-none\tno-reply-address\tTessik "
            "Mailbox\thello from m-none\n");
  const auto parsed = nlohmann::json::parse(run("--json").out);
  EXPECT_EQ(parsed[0]["sender_reply_address_known"], true);
  EXPECT_EQ(parsed[1]["sender_reply_address_known"], false);
}

// A unique prefix is enough; an exact id wins over longer ids it prefixes; an ambiguous
// prefix names how many match instead of picking one.
TEST_F(MailboxCommandTest, ShowsByUniqueIdPrefix) {
  store("abc123", "2026-01-01T00:00:00Z", "first");
  store("abd999", "2026-01-02T00:00:00Z", "second");
  store("ab", "2026-01-03T00:00:00Z", "exact");
  EXPECT_EQ(run("--show abc").out, "first");
  EXPECT_EQ(run("--show abd").out, "second");
  EXPECT_EQ(run("--show ab").out, "exact");
  const test::CommandRun ambiguous = run("--show a");
  EXPECT_EQ(ambiguous.code, 1);
  EXPECT_EQ(ambiguous.out, "");
  EXPECT_EQ(ambiguous.err,
            "tessik mailbox: 3 stored messages have ids starting with a; give more of the id\n");
}

// Bodies and names with control characters stay on their row: a hostile sender cannot forge
// rows or send terminal escapes.
TEST_F(MailboxCommandTest, ListingKeepsHostileTextOnItsRow) {
  store("evil", "2026-01-01T00:00:00Z", "\x1b[31m<script>alert(1)</script>\rrest",
        "bob\tfake\ncolumn");
  EXPECT_EQ(run("").out,
            "evil\t2026-01-01T00:00:00Z\tbob fake column\trelayed\tTessik Mailbox\t"
            "[31m<script>alert(1)</script> rest\n");
}

TEST_F(MailboxCommandTest, RefusesUnknownIdsAndBadArguments) {
  store("only", "2026-01-01T00:00:00Z", "x");
  const test::CommandRun missing = run("--show nope");
  EXPECT_EQ(missing.code, 1);
  EXPECT_EQ(missing.err, "tessik mailbox: no stored message with id nope\n");
  EXPECT_EQ(run("--show '../only'").code, 2);
  EXPECT_EQ(run("--show").code, 2);
  EXPECT_EQ(run("--bogus").code, 2);
  EXPECT_EQ(run("--json --show only").code, 2);
}

}  // namespace
}  // namespace tessik
