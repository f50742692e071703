// The command line as a new user meets it, one group per mode: help and version, agents,
// send. Each case runs the real executable and checks exit codes, stdout and stderr.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "providers/mailbox/mailbox_store.h"
#include "state/state_dir.h"
#include "support/build_paths.h"
#include "support/command_run.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

using nlohmann::json;

class CliModesTest : public ::testing::Test {
 protected:
  test::TempEnv env;
  test::CommandRun run(const std::string& args, const std::string& input = "") {
    return test::run_tessik(env.root(), args, input);
  }
  json agents() {
    const test::CommandRun listing = run("agents --json");
    EXPECT_EQ(listing.code, 0) << listing.err;
    return json::parse(listing.out);
  }
};

TEST_F(CliModesTest, HelpAndVersionGoToStdoutWithExitZero) {
  for (const char* ask : {"--help", "-h", "help"}) {
    const test::CommandRun help = run(ask);
    EXPECT_EQ(help.code, 0) << ask;
    EXPECT_EQ(help.err, "") << ask;
    EXPECT_TRUE(help.out.starts_with("usage: tessik")) << ask;
    for (const char* mode : {"status", "tasks", "agents", "mailbox", "send", "api-service"})
      EXPECT_NE(help.out.find(std::string("\n  ") + mode + " "), std::string::npos) << mode;
  }
  const test::CommandRun version = run("--version");
  EXPECT_EQ(version.code, 0);
  EXPECT_TRUE(version.out.starts_with("tessik ") && version.out.ends_with("\n")) << version.out;
  EXPECT_GT(version.out.size(), std::string("tessik \n").size());

  // Every mode explains itself on --help without doing its work.
  for (const char* mode : {"status", "tasks", "agents", "mailbox", "send", "api-service",
                           "delivery-worker", "mcp-server"}) {
    const test::CommandRun help = run(std::string(mode) + " --help");
    EXPECT_EQ(help.code, 0) << mode << help.err;
    EXPECT_TRUE(help.out.starts_with(std::string("usage: tessik ") + mode)) << help.out;
    EXPECT_EQ(run(std::string("help ") + mode).out, help.out) << mode;
  }
  EXPECT_FALSE(std::filesystem::exists(resolve_state_directory() / "logs"));

  const test::CommandRun unknown = run("frobnicate");
  EXPECT_EQ(unknown.code, 2);
  EXPECT_EQ(unknown.out, "");
  EXPECT_TRUE(unknown.err.starts_with("tessik: unknown command 'frobnicate'\nusage: tessik"));
}

TEST_F(CliModesTest, AgentsListShowsPublicIdsAndRefusesUnknownProviders) {
  const json before = agents();
  ASSERT_EQ(before.size(), 1u);  // the built-in mailbox
  const std::string public_id = before[0]["public_agent_id"];
  ASSERT_FALSE(public_id.empty());
  const test::CommandRun plain = run("agents");
  EXPECT_EQ(plain.code, 0);
  // In a pipe: no header, tab-separated, the public id in its column.
  EXPECT_TRUE(plain.out.starts_with(before[0]["agent_id"].get<std::string>() + "\t")) << plain.out;
  EXPECT_NE(plain.out.find("\t" + public_id + "\t"), std::string::npos) << plain.out;

  const test::CommandRun unknown =
      run("agents add --provider no-such-assistant --session s1 --name Someone");
  EXPECT_EQ(unknown.code, 2);
  EXPECT_TRUE(unknown.err.starts_with("tessik agents: unknown provider 'no-such-assistant'"))
      << unknown.err;
  EXPECT_NE(unknown.err.find("claude_code_cli"), std::string::npos);  // the known ones listed
  EXPECT_EQ(agents().size(), 1u);

  // A known provider under one of its catalog spellings is taken; a hostile name stays on
  // its row.
  const test::CommandRun added =
      run("agents add --provider Claude-Code-CLI --session s1 --name '<b>x</b>\x1b[2J'");
  EXPECT_EQ(added.code, 0) << added.err;
  EXPECT_EQ(agents().size(), 2u);
  const test::CommandRun listing = run("agents");
  EXPECT_NE(listing.out.find("\t<b>x</b> [2J\t"), std::string::npos) << listing.out;
  EXPECT_EQ(listing.out.find('\x1b'), std::string::npos);

  const test::CommandRun missing = run("agents remove no-such-id");
  EXPECT_EQ(missing.code, 1);
  EXPECT_EQ(missing.err, "tessik agents: no agent with id no-such-id\n");
}

TEST_F(CliModesTest, IncompleteSendsAreUsageErrorsThatSendAndLogNothing) {
  for (const char* args : {"send hello", "send --to mailbox hello", "send --from me hello",
                           "send --to mailbox --from me", "send --to mailbox --from me '  '",
                           "send --to", "send --to mailbox --from me --wait-seconds 0 hi"}) {
    const test::CommandRun refused = run(args);
    EXPECT_EQ(refused.code, 2) << args;
    EXPECT_EQ(refused.out, "") << args;
    EXPECT_TRUE(refused.err.starts_with("tessik send: ")) << refused.err;
    EXPECT_NE(refused.err.find("usage: tessik send"), std::string::npos) << args;
  }
  EXPECT_FALSE(std::filesystem::exists(resolve_state_directory() / "logs"));
  EXPECT_FALSE(std::filesystem::exists(mailbox_messages_directory()));
}

TEST_F(CliModesTest, SendWaitReportsTheDeliveryOutcome) {
  env.set("TESSIK_EXE", TESSIK_BINARY);
  // By public id, as the listing shows it; stdin carries the text, every line of it.
  const std::string public_id = agents()[0]["public_agent_id"];
  const test::CommandRun delivered =
      run("send --to " + public_id + " --from cli-user --wait --json", "line one\nline two\n");
  ASSERT_EQ(delivered.code, 0) << delivered.err;
  const json outcome = json::parse(delivered.out);
  EXPECT_EQ(outcome["target"], "Tessik Mailbox");
  EXPECT_EQ(outcome["delivery"]["delivered"], true);
  EXPECT_EQ(outcome["delivery"]["stage"], "provider_delivery_accepted");
  const auto stored = read_mailbox_messages(mailbox_messages_directory());
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].message_id, outcome["message_id"]);
  EXPECT_NE(stored[0].final_visible_body.find("\n\nline one\nline two\n\n\n"), std::string::npos)
      << stored[0].final_visible_body;

  // A row the adapter cannot reach: accepted by the system, then failed in the background.
  ASSERT_EQ(run("agents add --provider cursor --session c1 --name Unreachable").code, 0);
  const test::CommandRun failed = run("send --to Unreachable --from cli-user --wait hello");
  EXPECT_EQ(failed.code, 1);
  EXPECT_NE(failed.out.find("status: accepted_by_tessik\n"), std::string::npos) << failed.out;
  EXPECT_NE(failed.out.find("delivery: failed (provider_delivery_failed"), std::string::npos);
  EXPECT_TRUE(failed.err.starts_with("tessik send: the delivery failed: ")) << failed.err;

  // Without --wait the same send only reports the receipt.
  EXPECT_EQ(run("send --to Unreachable --from cli-user hello").code, 0);
}

}  // namespace
}  // namespace tessik
