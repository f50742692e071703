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
#include "support/build_paths.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

namespace fs = std::filesystem;

struct CommandRun {
  int code = -1;
  std::string out;
  std::string err;
};

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

class MailboxCommandTest : public ::testing::Test {
 protected:
  test::TempEnv env;

  CommandRun run(const std::string& args) {
    const fs::path out = env.root() / "out", err = env.root() / "err", rc = env.root() / "rc";
    const std::string command = std::string("'") + TESSIK_BINARY + "' mailbox " + args + " >'" +
                                out.string() + "' 2>'" + err.string() + "'; echo $? >'" +
                                rc.string() + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
    return {std::stoi(slurp(rc)), slurp(out), slurp(err)};
  }

  void store(const std::string& id, const std::string& at, const std::string& body) {
    MailboxMessage message;
    message.message_id = id;
    message.received_at = at;
    message.target_display_name = "Tessik Mailbox";
    message.sender_name = "sender-" + id;
    message.final_visible_body = body;
    ASSERT_TRUE(write_mailbox_message(mailbox_messages_directory(), message).ok);
  }
};

TEST_F(MailboxCommandTest, ListsNewestFirstAndShowsOneBodyExactly) {
  EXPECT_EQ(run("").out, "");  // no spool yet: nothing stored, not an error
  store("old", "2026-01-01T00:00:00Z", "first line\nsecond line");
  store("new", "2026-03-01T00:00:00Z", "latest\n");
  std::ofstream(mailbox_messages_directory() / "broken.json") << "{}";

  const CommandRun listing = run("");
  EXPECT_EQ(listing.code, 0);
  EXPECT_EQ(listing.out,
            "2026-03-01T00:00:00Z\tsender-new\trelayed\tTessik Mailbox\tlatest\n"
            "2026-01-01T00:00:00Z\tsender-old\trelayed\tTessik Mailbox\tfirst line\n"
            "FAILED\tbroken.json\tunsupported or missing mailbox schema_version\n");

  const CommandRun json = run("--json");
  ASSERT_EQ(json.code, 0);
  const auto parsed = nlohmann::json::parse(json.out);
  ASSERT_EQ(parsed.size(), 3u);
  EXPECT_EQ(parsed[0]["message_id"], "new");
  EXPECT_EQ(parsed[0]["final_visible_body"], "latest\n");
  EXPECT_EQ(parsed[0]["body_bytes"], 7);
  EXPECT_EQ(parsed[0]["delivery_method"], "tessik_mailbox_atomic_spool");
  EXPECT_EQ(parsed[2]["failed"], true);

  const CommandRun shown = run("--show old");
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
            "2026-02-01T00:00:00Z\tsender-m-tool\treply-by-tool\tTessik Mailbox\thello from m-tool\n"
            "2026-01-01T00:00:00Z\tsender-m-none\tno-reply-address\tTessik Mailbox\thello from "
            "m-none\n");
  const auto parsed = nlohmann::json::parse(run("--json").out);
  EXPECT_EQ(parsed[0]["sender_reply_address_known"], true);
  EXPECT_EQ(parsed[1]["sender_reply_address_known"], false);
}

TEST_F(MailboxCommandTest, RefusesUnknownIdsAndBadArguments) {
  store("only", "2026-01-01T00:00:00Z", "x");
  const CommandRun missing = run("--show nope");
  EXPECT_EQ(missing.code, 1);
  EXPECT_EQ(missing.err, "tessik mailbox: no stored message with id nope\n");
  EXPECT_EQ(run("--show '../only'").code, 2);
  EXPECT_EQ(run("--show").code, 2);
  EXPECT_EQ(run("--bogus").code, 2);
  EXPECT_EQ(run("--json --show only").code, 2);
}

}  // namespace
}  // namespace tessik
