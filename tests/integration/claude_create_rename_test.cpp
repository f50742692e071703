// The Claude Code CLI create and rename edges against the fake claude: the create's real first
// message waits for the warm-up turn and the MCP readiness marker; rename sets the native name
// without a prompt and is verified from the transcript.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "base/random.h"
#include "providers/claude_code_cli/claude_code_cli_adapter.h"
#include "providers/mailbox/mailbox_store.h"
#include "state/state_dir.h"
#include "support/build_paths.h"
#include "support/claude_fixture.h"
#include "support/delivery_env.h"
#include "support/jsonl_reader.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using ::testing::HasSubstr;

constexpr char kUuid[] = "6a2f41a3-c54c-4ebc-a1a5-5b2b0a3e8f21";

class ClaudeCreateTest : public ::testing::Test {
 protected:
  test::TempEnv env;
  test::ClaudeHome claude{env};
  ClaudeCliSettings settings;

  void SetUp() override {
    settings.tessik_executable = test::ClaudeHome::fake_mcp_server();
    settings.create_timeout_ms = 60000;
  }

  CreateResult create(const std::string& scenario, const std::string& name = "Planner",
                      const std::string& message = "Plan the release") {
    env.set("FAKE_CLAUDE_SCENARIO", scenario);
    CreateRequest request;
    request.provider = "claude_code_cli";
    request.requested_name = name;
    request.initial_message = message;
    request.cwd = claude.project().string();
    return create_claude_code_cli_provider(request, settings);
  }

  std::size_t event_index(const std::string& event) const {
    const auto records = test::read_jsonl(claude.fake_log());
    for (std::size_t i = 0; i < records.size(); ++i) {
      if (records[i].value("event", "") == event) return i;
    }
    return records.size();
  }
};

TEST_F(ClaudeCreateTest, RealMessageIsWrittenOnlyAfterWarmUpAndReadinessMarker) {
  // The fake pauses before each readiness step and logs any input that arrived too early.
  env.set("FAKE_CLAUDE_WARMUP_DELAY_MS", "300");
  const CreateResult result = create("reply");
  ASSERT_EQ(result.state, "created_session") << result.error << " " << result.evidence;
  EXPECT_EQ(result.method, "created_claude_cli_single_process_readiness_gate");
  EXPECT_EQ(result.correlation_state, "requested_session_id");
  EXPECT_TRUE(result.accepted);
  EXPECT_EQ(result.provider_title, "Planner");

  const std::string uuid = result.provider_session_id.substr(24);
  EXPECT_EQ(result.provider_session_id, "claude_code_cli:session:" + uuid);
  EXPECT_TRUE(is_uuid_text(uuid));
  EXPECT_EQ(uuid[14], '4');
  EXPECT_THAT(result.evidence, HasSubstr(" requested_session_id=" + uuid + " jsonl="));
  EXPECT_THAT(result.evidence,
              HasSubstr(" fixed_delay_ms=0 poll_start_delay_ms=0 poll_interval_ms=20 "
                        "mcp_tools_list_ready=true readiness_marker="));
  EXPECT_THAT(result.evidence, HasSubstr(" warmup_completed=true readiness_elapsed_ms="));

  EXPECT_TRUE(claude.events("input_before_warmup_completed").empty());
  EXPECT_TRUE(claude.events("input_before_mcp_ready").empty());
  EXPECT_LT(event_index("warmup_completed"), event_index("mcp_connected"));
  EXPECT_LT(event_index("mcp_connected"), event_index("real_line_read"));
  const auto warm_up = claude.events("warmup_read");
  ASSERT_EQ(warm_up.size(), 1u);
  EXPECT_EQ(warm_up[0]["text"], "Hello, thank you for helping. I will send the actual question "
                                "next. Stand by and do nothing.");
  const auto real = claude.events("real_line_read");
  ASSERT_EQ(real.size(), 1u);
  EXPECT_EQ(real[0]["text"], "Plan the release");

  const auto args = claude.events("create")[0]["arguments"].get<std::vector<std::string>>();
  const fs::path config = env.state_dir() / "mcp" / ("claude-code-cli-" + uuid + ".json");
  EXPECT_EQ(args, (std::vector<std::string>{
                      "-p", "--input-format", "stream-json", "--output-format", "stream-json",
                      "--verbose", "--session-id", uuid, "--mcp-config=" + config.string(),
                      "--allowedTools=mcp__tessik__tessik_send_message,mcp__tessik__tessik_whoami,"
                      "mcp__tessik__tessik_list_agents",
                      "--strict-mcp-config", "-nPlanner"}));
  EXPECT_EQ(test::read_jsonl(claude.mcp_calls()).size(), 1u);
}

TEST_F(ClaudeCreateTest, ReadinessMarkerAloneDoesNotOpenTheGate) {
  // The tools are listed (marker written) first; the warm-up turn ends only after a pause.
  env.set("FAKE_CLAUDE_WARMUP_DELAY_MS", "300");
  const CreateResult result = create("mcp_first");
  ASSERT_EQ(result.state, "created_session") << result.error << " " << result.evidence;
  EXPECT_TRUE(claude.events("input_before_warmup_completed").empty());
  EXPECT_LT(event_index("mcp_connected"), event_index("warmup_completed"));
  EXPECT_LT(event_index("warmup_completed"), event_index("real_line_read"));
}

TEST_F(ClaudeCreateTest, GateOpensOnTheMarkerOfTheRealMcpServer) {
  // The configuration starts this build's own mcp-server, whose send tool posts to the mailbox.
  settings.tessik_executable = TESSIK_BINARY;
  env.set("FAKE_CLAUDE_REPLY_TO", "mailbox");
  env.set("FAKE_CLAUDE_REPLY_BODY", "Planner is ready.");
  const CreateResult result = create("reply");
  ASSERT_EQ(result.state, "created_session") << result.error << " " << result.evidence;

  const std::string uuid = result.provider_session_id.substr(24);
  const auto marker = json::parse(
      test::read_file(env.state_dir() / "mcp" / ("claude-code-cli-" + uuid + ".ready.json")));
  EXPECT_EQ(marker["state"], "tools_list_ready");
  EXPECT_EQ(marker["provider_session_id"], result.provider_session_id);
  ASSERT_TRUE(test::wait_until(
      [] { return read_mailbox_messages(mailbox_messages_directory()).size() == 1; }));
  const MailboxMessage stored = read_mailbox_messages(mailbox_messages_directory())[0];
  EXPECT_EQ(stored.sender_name, "Planner");
  EXPECT_NE(stored.final_visible_body.find("Planner is ready."), std::string::npos);
}

TEST_F(ClaudeCreateTest, WarmUpThatNeverCompletesKeepsTheRealMessageBack) {
  settings.readiness_timeout_ms = 1500;
  const CreateResult result = create("warmup_never");
  EXPECT_EQ(result.state, "failed");
  EXPECT_EQ(result.correlation_state, "readiness_not_reached");
  EXPECT_EQ(result.error, "Claude CLI readiness gate timed out before the real message");
  EXPECT_THAT(result.evidence, HasSubstr(" warmup_completed=false mcp_tools_list_ready=false"));
  EXPECT_EQ(claude.events("warmup_read").size(), 1u);
  EXPECT_TRUE(claude.events("real_line_read").empty());
}

TEST_F(ClaudeCreateTest, MissingReadinessMarkerKeepsTheGateClosed) {
  env.set("FAKE_MCP_NO_MARKER", "1");
  settings.readiness_timeout_ms = 1500;
  const CreateResult result = create("reply");
  EXPECT_EQ(result.correlation_state, "readiness_not_reached");
  EXPECT_THAT(result.evidence, HasSubstr(" warmup_completed=true mcp_tools_list_ready=false"));
  EXPECT_TRUE(claude.events("real_line_read").empty());
}

TEST_F(ClaudeCreateTest, ProcessThatExitsBeforeTheGateSaysSo) {
  const CreateResult result = create("fail");
  EXPECT_EQ(result.correlation_state, "readiness_not_reached");
  EXPECT_EQ(result.error, "Claude CLI exited before the readiness gate opened");
}

TEST_F(ClaudeCreateTest, UnprovenFirstTurnsFailWithTheirReason) {
  struct Case {
    const char* scenario;
    const char* correlation;
    const char* error;
  };
  for (const Case& c : {Case{"refuse", "tessik_mcp_turn_not_proven",
                             "Claude refused the Tessik envelope instead of using the Tessik MCP tool"},
                        Case{"silent", "tessik_mcp_turn_not_proven",
                             "Claude completed the staged message without an Tessik MCP tool call"},
                        Case{"error", "provider_error_response",
                             "Claude CLI reported an error during staged create"}}) {
    const CreateResult result = create(c.scenario);
    EXPECT_EQ(result.state, "failed") << c.scenario;
    EXPECT_EQ(result.correlation_state, c.correlation) << c.scenario;
    EXPECT_EQ(result.error, c.error) << c.scenario;
  }
}

TEST_F(ClaudeCreateTest, RequestProblemsFailBeforeAnyProcess) {
  CreateResult result = create("reply", "Planner", "  \n ");
  EXPECT_EQ(result.correlation_state, "unsupported_empty_initial_message");
  EXPECT_EQ(result.error, "Claude CLI create requires an initial message");
  EXPECT_EQ(result.evidence, "provider create uses claude -p and needs a durable first turn");

  CreateRequest request;
  request.initial_message = "hello";
  request.cwd = (env.root() / "nowhere").string();
  result = create_claude_code_cli_provider(request, settings);
  EXPECT_EQ(result.correlation_state, "invalid_cwd");
  EXPECT_EQ(result.error, "Claude create cwd does not exist");
  EXPECT_EQ(result.evidence, "cwd=" + request.cwd);
  EXPECT_TRUE(claude.events("create").empty());
}

class ClaudeRenameTest : public ClaudeCreateTest {
 protected:
  RenameResult rename(const std::string& scenario, const std::string& name) {
    env.set("FAKE_CLAUDE_SCENARIO", scenario);
    claude.write_transcript(
        kUuid, {json{{"type", "user"}, {"sessionId", kUuid}, {"cwd", claude.project().string()}}.dump(),
                json{{"type", "custom-title"}, {"customTitle", "Old"}, {"sessionId", kUuid}}.dump()});
    RenameRequest request;
    request.target.provider = "claude_code_cli";
    request.target.provider_session_id = std::string("claude_code_cli:session:") + kUuid;
    request.requested_name = name;
    return rename_claude_code_cli_session(request, settings);
  }
};

TEST_F(ClaudeRenameTest, NativeNameIsSetWithoutPromptAndVerified) {
  const RenameResult result = rename("reply", "  Release Captain ");
  EXPECT_EQ(result.state, "renamed_session") << result.error;
  EXPECT_TRUE(result.accepted);
  EXPECT_EQ(result.verification_state, "verified");
  EXPECT_EQ(result.method, "renamed_claude_cli_native_name_flag");
  EXPECT_EQ(result.provider_title, "Release Captain");
  EXPECT_THAT(result.evidence, HasSubstr("provider_title_verified=true no_chat_prompt_sent=true"));
  const auto renames = claude.events("rename");
  ASSERT_EQ(renames.size(), 1u);
  EXPECT_EQ(renames[0]["name"], "Release Captain");
  EXPECT_TRUE(renames[0]["positional"].empty()) << "a prompt reached the assistant";
}

TEST_F(ClaudeRenameTest, NameThatDidNotPersistIsUnverified) {
  const RenameResult result = rename("rename_ignored", "Release Captain");
  EXPECT_EQ(result.state, "unverified");
  EXPECT_TRUE(result.accepted);  // the workflow still records what the provider took
  EXPECT_EQ(result.error, "Claude CLI did not persist the requested session name");
  EXPECT_EQ(result.provider_title, "Old");
  EXPECT_THAT(result.evidence,
              HasSubstr("last_provider_title=Old process_timed_out=false process_exit_code=0"));
}

TEST_F(ClaudeRenameTest, RenameNeedsANameAndTheNativeOption) {
  EXPECT_EQ(rename("reply", " ").error, "new Claude CLI session name was empty");
  env.set("FAKE_CLAUDE_HELP", "bare");
  const RenameResult result = rename("reply", "New");
  EXPECT_EQ(result.state, "failed");
  EXPECT_FALSE(result.accepted);
  EXPECT_EQ(result.error, "installed Claude CLI does not expose the native --name session option");
  EXPECT_THAT(result.evidence,
              HasSubstr("capabilities=help_exit_code=0 strict_mcp_config=false session_name=false"));
  EXPECT_TRUE(claude.events("rename").empty());
}

}  // namespace
}  // namespace tessik
