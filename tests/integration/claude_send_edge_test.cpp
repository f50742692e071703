// The Claude Code CLI send edge against the fake claude: a delivery counts only when the turn
// shows the send tool being called; every other outcome fails with its own message.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "providers/claude_code_cli/claude_code_cli_adapter.h"
#include "support/claude_fixture.h"
#include "support/jsonl_reader.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using ::testing::HasSubstr;

constexpr char kUuid[] = "0f8fad5b-d9cb-469f-a165-70867728950e";
constexpr char kSenderSession[] = "codex:thread-41";

std::string reply_instruction(const std::string& message_id) {
  return "After answering this message, send your complete reply back to the originating Tessik "
         "chat. You must call this MCP tool exactly once:\nmcp__tessik.tessik_send_message({\n"
         "  \"to\": \"" + std::string(kSenderSession) + "\",\n  \"body\": \"<full reply>\",\n"
         "  \"sourceContext\": \"tessik-operation:" + message_id + "\"\n})";
}

class ClaudeSendEdgeTest : public ::testing::Test {
 protected:
  test::TempEnv env;
  test::ClaudeHome claude{env};
  ClaudeCliSettings settings;

  void SetUp() override {
    settings.tessik_executable = test::ClaudeHome::fake_mcp_server();
    settings.send_timeout_ms = 60000;
  }

  DeliveryRequest request(const std::string& body,
                          const std::string& session = std::string("claude_code_cli:session:") +
                                                       kUuid) {
    DeliveryRequest r;
    r.target.provider = "claude_code_cli";
    r.target.provider_session_id = session;
    r.target.display_name = "Reviewer";
    r.final_visible_body = body;
    return r;
  }

  DeliveryResult send_with(const std::string& scenario, const std::string& body = "Hi there") {
    env.set("FAKE_CLAUDE_SCENARIO", scenario);
    claude.write_session(kUuid, claude.project().string());
    return deliver_to_claude_code_cli(request(body), settings);
  }
};

TEST_F(ClaudeSendEdgeTest, ReplyThroughTheMcpServerIsAcceptedWithTheDocumentedCommandLine) {
  const std::string body = "Message from Codex\n\nPing\n\n" + reply_instruction("m-77");
  const DeliveryResult result = send_with("reply", body);
  ASSERT_EQ(result.state, "provider_write_succeeded") << result.error << " " << result.evidence;
  EXPECT_TRUE(result.accepted);
  EXPECT_EQ(result.method, "claude_cli_print_resume");
  EXPECT_THAT(result.evidence, HasSubstr(std::string("resumed_session_id=") + kUuid +
                                         " response_session_id=" + kUuid));
  EXPECT_THAT(result.evidence,
              HasSubstr("capabilities=help_exit_code=0 strict_mcp_config=true session_name=true"));

  const auto resumes = claude.events("resume");
  ASSERT_EQ(resumes.size(), 1u);
  const auto args = resumes[0]["arguments"].get<std::vector<std::string>>();
  const fs::path config = env.state_dir() / "mcp" / (std::string("claude-code-cli-") + kUuid + ".json");
  EXPECT_EQ(args, (std::vector<std::string>{
                      "-p", "--output-format", "json", "--resume", kUuid,
                      "--mcp-config=" + config.string(),
                      "--allowedTools=mcp__tessik__tessik_send_message,mcp__tessik__tessik_whoami,"
                      "mcp__tessik__tessik_list_agents",
                      "--strict-mcp-config", body}));
  EXPECT_EQ(resumes[0]["cwd"], claude.project().string());

  // The MCP server was started from the configuration and got the reply addressed back.
  const auto calls = test::read_jsonl(claude.mcp_calls());
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0]["params"]["arguments"]["to"], kSenderSession);
  EXPECT_EQ(calls[0]["params"]["arguments"]["sourceContext"], "tessik-operation:m-77");
  EXPECT_EQ(calls[0]["argv"], json({"mcp-server", "--host", "claude-code-cli", "--provider",
                                    "claude_code_cli", "--provider-session-id",
                                    std::string("claude_code_cli:session:") + kUuid,
                                    "--sender-name", "Reviewer"}));
  EXPECT_EQ(calls[0]["sender_env"], "Reviewer");
}

TEST_F(ClaudeSendEdgeTest, ToolUseInTheTranscriptDeltaAloneProvesTheDelivery) {
  // The fake writes the tool_use record without any server; stdout carries no tool call.
  const DeliveryResult result = send_with("tool_use_only");
  EXPECT_EQ(result.state, "provider_write_succeeded") << result.error;
  EXPECT_FALSE(fs::exists(claude.mcp_calls()));
}

TEST_F(ClaudeSendEdgeTest, TurnsWithoutASendToolCallFailWithTheirReason) {
  struct Case {
    const char* scenario;
    const char* error;
  };
  for (const Case& c :
       {Case{"refuse", "Claude refused the Tessik envelope instead of using the Tessik MCP tool"},
        Case{"pending", "Claude Tessik MCP server was not ready for the resumed turn"},
        Case{"silent", "Claude completed the resumed turn without an Tessik MCP tool call"},
        Case{"error", "Claude CLI reported an error response"}}) {
    const DeliveryResult result = send_with(c.scenario);
    EXPECT_EQ(result.state, "failed") << c.scenario;
    EXPECT_FALSE(result.accepted) << c.scenario;
    EXPECT_EQ(result.error, c.error) << c.scenario;
    if (std::string(c.scenario) != "error") {
      EXPECT_THAT(result.evidence, HasSubstr(" transcript_delta=")) << c.scenario;
    }
  }
}

TEST_F(ClaudeSendEdgeTest, NonZeroExitReportsCodeAndOutputExcerpt) {
  const DeliveryResult result = send_with("fail");
  EXPECT_EQ(result.error, "Claude CLI resume command failed");
  EXPECT_THAT(result.evidence, HasSubstr("exit_code=3 claude="));
  EXPECT_THAT(result.evidence, HasSubstr("output=fatal: the fake was told to fail"));
}

TEST_F(ClaudeSendEdgeTest, SessionProblemsFailBeforeClaudeRuns) {
  EXPECT_EQ(deliver_to_claude_code_cli(request("x", "claude_code_cli:session:"), settings).error,
            "Claude provider session id is missing claude_code_cli:session:<uuid>");
  // A path or an option word is no session id, even with a transcript of that name.
  for (const char* session : {"../escape", "--dangerously-skip-permissions"}) {
    claude.write_session(session, claude.project().string());
    EXPECT_EQ(deliver_to_claude_code_cli(request("x", std::string("claude_code_cli:session:") +
                                                          session),
                                         settings)
                  .error,
              "Claude provider session id is missing claude_code_cli:session:<uuid>")
        << session;
  }
  EXPECT_EQ(deliver_to_claude_code_cli(request("x"), settings).error,
            "Claude JSONL session file was not found");

  claude.write_transcript(kUuid, {json{{"type", "user"}, {"sessionId", kUuid}}.dump()});
  DeliveryResult result = deliver_to_claude_code_cli(request("x"), settings);
  EXPECT_EQ(result.error, "Claude JSONL session file does not include a cwd for documented CLI resume");

  const fs::path gone = env.root() / "deleted-project";
  claude.write_session(kUuid, gone.string());
  result = deliver_to_claude_code_cli(request("x"), settings);
  EXPECT_EQ(result.error, "Claude session cwd no longer exists");
  EXPECT_THAT(result.evidence, HasSubstr(" cwd=" + gone.string()));
  EXPECT_TRUE(claude.events("resume").empty());
}

TEST_F(ClaudeSendEdgeTest, MissingExecutableIsReportedWithWhereItLooked) {
  fs::remove(claude.home() / ".local" / "bin" / "claude");
  env.set("PATH", (env.root() / "empty-path").string());
  claude.write_session(kUuid, claude.project().string());
  const DeliveryResult result = deliver_to_claude_code_cli(request("x"), settings);
  EXPECT_EQ(result.error, "Claude CLI executable was not found");
  EXPECT_EQ(result.evidence,
            "checked=" + (claude.home() / ".local" / "bin" / "claude").string() + " and PATH");
}

TEST_F(ClaudeSendEdgeTest, MissingTessikExecutableFailsTheMcpPreparation) {
  settings.tessik_executable = env.root() / "no-such-tessik";
  claude.write_session(kUuid, claude.project().string());
  const DeliveryResult result = deliver_to_claude_code_cli(request("x"), settings);
  EXPECT_EQ(result.error, "Claude MCP configuration preparation failed");
  EXPECT_EQ(result.evidence, std::string("session_id=") + kUuid +
                                 " error=Tessik executable required by Claude MCP configuration "
                                 "was not found");
}

// True while `pid` exists and is not a zombie.
bool running(long pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  const auto close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

TEST_F(ClaudeSendEdgeTest, HangingRunIsEndedWithItsWholeTreeByTheTimeOut) {
  const fs::path pid_file = env.root() / "grandchild.pid";
  env.set("FAKE_CLAUDE_PID_FILE", pid_file.string());
  settings.send_timeout_ms = 1500;
  const DeliveryResult result = send_with("hang");
  EXPECT_EQ(result.error, "Claude CLI resume command failed");
  EXPECT_THAT(result.evidence, HasSubstr("process_error=bounded process timed out"));
  long grandchild = 0;
  std::ifstream(pid_file) >> grandchild;
  ASSERT_GT(grandchild, 0);
  EXPECT_FALSE(running(grandchild)) << "grandchild " << grandchild << " outlived the time-out";
}

std::string hostile_text(std::size_t size) {
  const std::string piece = "\"quoted\" 'single' \\back\\slash\n$(touch pwned) `tick` \t;|&<>*? ü €\r\n";
  std::string text;
  while (text.size() + piece.size() <= size) text += piece;
  return text;
}

TEST_F(ClaudeSendEdgeTest, HostileBodyReachesClaudeByteForByteAsOneArgument) {
  const fs::path body_file = env.root() / "body.bin";
  env.set("FAKE_CLAUDE_BODY_FILE", body_file.string());
  // The largest single argument this platform passes to a program is 128 KiB.
  const std::string body = hostile_text(120 * 1024);
  const DeliveryResult result = send_with("tool_use_only", body);
  EXPECT_EQ(result.state, "provider_write_succeeded") << result.error << result.evidence;
  EXPECT_TRUE(test::read_file(body_file) == body) << "the body was altered on the way";
  EXPECT_FALSE(fs::exists(claude.project() / "pwned"));
}

TEST_F(ClaudeSendEdgeTest, BodyBeyondTheArgumentLimitFailsCleanly) {
  const DeliveryResult result = send_with("tool_use_only", hostile_text(1024 * 1024));
  EXPECT_EQ(result.state, "failed");
  EXPECT_EQ(result.error, "Claude CLI resume command failed");
  EXPECT_THAT(result.evidence, HasSubstr("exit_code=-1"));
  EXPECT_THAT(result.evidence, HasSubstr("process_error="));
  EXPECT_TRUE(claude.events("resume").empty());
}

TEST_F(ClaudeSendEdgeTest, PreviousConfigurationIsKeptAndTheMarkerCleared) {
  ASSERT_EQ(send_with("tool_use_only").state, "provider_write_succeeded");
  const fs::path mcp = env.state_dir() / "mcp";
  const fs::path marker = mcp / (std::string("claude-code-cli-") + kUuid + ".ready.json");
  std::ofstream(marker) << "{\"state\":\"tools_list_ready\"}";
  ASSERT_EQ(send_with("tool_use_only").state, "provider_write_succeeded");
  EXPECT_FALSE(fs::exists(marker)) << "a stale readiness marker survived the preparation";
  int previous = 0;
  for (const auto& entry : fs::directory_iterator(mcp)) {
    if (entry.path().filename().string().find(".json.previous-") != std::string::npos) ++previous;
  }
  EXPECT_EQ(previous, 1);
}

}  // namespace
}  // namespace tessik
