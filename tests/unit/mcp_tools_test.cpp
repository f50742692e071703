// The MCP server's identity (command line against environment, registry lookup) and its
// three tools against a real registry and the send pipeline with a fake delivery worker.
#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>

#include "mcp/tessik_tools.h"
#include "state/state_dir.h"
#include "support/build_paths.h"
#include "support/delivery_env.h"
#include "support/jsonl_reader.h"
#include "support/registry_rows.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

using nlohmann::json;

EnvironmentLookup fake_environment(std::map<std::string, std::string> values) {
  return [values = std::move(values)](const char* name) -> std::optional<std::string> {
    const auto found = values.find(name);
    if (found == values.end()) return std::nullopt;
    return found->second;
  };
}

TEST(McpOptionsTest, TheCommandLineWinsAndTheEnvironmentFillsTheRest) {
  std::string error;
  const auto environment = fake_environment({{"TESSIK_MCP_HOST", "env-host"},
                                             {"TESSIK_MCP_PROVIDER", "env_provider"},
                                             {"TESSIK_PROVIDER_SESSION_ID", " env-session "},
                                             {"TESSIK_SENDER_NAME", "Env Name"},
                                             {"TESSIK_MCP_READY_FILE", "/tmp/ready.json"}});
  std::optional<McpServerOptions> options = parse_mcp_server_options(
      {"--host", "cli-host", "--provider-session-id", "cli-session", "--sender-name", "  "},
      environment, error);
  ASSERT_TRUE(options) << error;
  EXPECT_EQ(options->host, "cli-host");
  EXPECT_EQ(options->provider, "env_provider");
  EXPECT_EQ(options->provider_session_id, "cli-session");
  EXPECT_EQ(options->sender_name, "Env Name");  // a blank argument leaves it to the environment
  EXPECT_EQ(options->ready_file, "/tmp/ready.json");

  options = parse_mcp_server_options({}, environment, error);
  ASSERT_TRUE(options);
  EXPECT_EQ(options->provider_session_id, "env-session");

  EXPECT_FALSE(parse_mcp_server_options({"--bogus", "x"}, environment, error));
  EXPECT_EQ(error, "unknown option --bogus");
  EXPECT_FALSE(parse_mcp_server_options({"--provider"}, environment, error));
  EXPECT_EQ(error, "option --provider needs a value");
}

class McpToolsTest : public ::testing::Test {
 protected:
  test::TempEnv env;
  std::filesystem::path tmp = test::use_delivery_executable(
      env, std::string(TESSIK_HELPER_DIR) + "/fake_delivery_worker");
  AgentRecord self = test::ready_row("agent-self", "Self Agent", "claude_code_cli",
                                     "claude_code_cli:session:self-1");
  AgentRecord peer = test::ready_row("agent-peer", "Peer Agent", "claude_code_cli",
                                     "claude_code_cli:session:peer-1");
  McpServerOptions options{"claude-code-cli", "claude_code_cli", self.provider_session_id,
                           "Fallback Name", ""};

  void SetUp() override {
    AgentRecord disabled = test::ready_row("agent-off", "Off Agent", "claude_code_cli",
                                           "claude_code_cli:session:off-1");
    disabled.enabled = false;
    AgentRecord unsendable = test::ready_row("agent-mute", "Mute Agent", "claude_code_cli",
                                             "claude_code_cli:session:mute-1");
    unsendable.sendable = false;
    test::write_registry(agents_registry_path(), {self, peer, disabled, unsendable});
  }

  McpToolResult call(const std::string& name, const json& arguments = json::object()) {
    TessikTools tools(options, default_pipeline_context());
    std::optional<McpToolResult> result = tools.call(name, arguments);
    EXPECT_TRUE(result.has_value());
    return result.value_or(McpToolResult{});
  }
  std::vector<json> events(const std::string& type) {
    return test::read_events(events_log_path(), type);
  }
};

TEST_F(McpToolsTest, TheThreeToolsAreListedWithObjectSchemas) {
  const TessikTools tools(options, default_pipeline_context());
  std::vector<std::string> names;
  for (const McpToolDescription& tool : tools.tools()) {
    names.push_back(tool.name);
    EXPECT_EQ(tool.input_schema["type"], "object") << tool.name;
  }
  EXPECT_EQ(names, (std::vector<std::string>{"tessik_send_message", "tessik_whoami",
                                             "tessik_list_agents"}));
  EXPECT_EQ(tools.tools()[0].input_schema["required"], json({"to", "body"}));
  TessikTools mutable_tools(options, default_pipeline_context());
  EXPECT_FALSE(mutable_tools.call("tessik_nothing", json::object()));
}

TEST_F(McpToolsTest, ARegisteredSessionSendsAsItsRowWithASendBackAddress) {
  const McpToolResult result =
      call(kSendMessageTool, {{"to", "Peer Agent"}, {"body", "the answer"}});
  EXPECT_FALSE(result.is_error) << result.text;
  EXPECT_EQ(result.text.rfind("Accepted by Tessik: message_id=", 0), 0u) << result.text;
  const auto handed = events("delivery_handoff_started");
  ASSERT_EQ(handed.size(), 1u);
  EXPECT_EQ(handed[0]["target"], "Peer Agent");
  EXPECT_EQ(handed[0]["body_policy"], "resolved_sender_envelope");
  const auto accepted = events("message_accepted_by_tessik");
  ASSERT_EQ(accepted.size(), 1u);
  EXPECT_NE(result.text.find(accepted[0]["message_id"].get<std::string>()), std::string::npos);

  const json who = json::parse(call(kWhoamiTool).text);
  EXPECT_TRUE(who["registered"]);
  EXPECT_EQ(who["sendsAs"], self.provider_session_id);
  EXPECT_EQ(who["agent"]["name"], "Self Agent");
  EXPECT_EQ(who["agent"]["id"], "agent-self");
}

TEST_F(McpToolsTest, AnUnregisteredSessionSendsAsItsSenderName) {
  options.provider_session_id = "claude_code_cli:session:unknown-9";
  json who = json::parse(call(kWhoamiTool).text);
  EXPECT_FALSE(who["registered"]);
  EXPECT_FALSE(who.contains("agent"));
  EXPECT_EQ(who["sendsAs"], "Fallback Name");
  const McpToolResult result = call(kSendMessageTool, {{"to", "Peer Agent"}, {"body", "hi"}});
  EXPECT_FALSE(result.is_error) << result.text;
  const auto handed = events("delivery_handoff_started");
  ASSERT_EQ(handed.size(), 1u);
  // A name is no reply address: the target is told so instead of getting a send-back command.
  EXPECT_EQ(handed[0]["body_policy"], "unresolved_sender_envelope");

  // The row must belong to the named provider.
  options.provider_session_id = self.provider_session_id;
  options.provider = "codex";
  who = json::parse(call(kWhoamiTool).text);
  EXPECT_FALSE(who["registered"]);
}

TEST_F(McpToolsTest, RefusalsAndBadArgumentsAreErrorResults) {
  McpToolResult result = call(kSendMessageTool, {{"to", "Nobody Here"}, {"body", "hello"}});
  EXPECT_TRUE(result.is_error);
  const auto rejected = events("send_rejected");
  ASSERT_EQ(rejected.size(), 1u);
  EXPECT_NE(result.text.find(rejected[0]["reason"].get<std::string>()), std::string::npos)
      << result.text;
  EXPECT_EQ(result.text.rfind("Refused by Tessik: ", 0), 0u);

  for (const json& arguments :
       {json{{"body", "x"}}, json{{"to", "Peer Agent"}}, json{{"to", 5}, {"body", "x"}},
        json{{"to", "Peer Agent"}, {"body", "x"}, {"sourceContext", json::array()}}}) {
    result = call(kSendMessageTool, arguments);
    EXPECT_TRUE(result.is_error) << arguments;
  }
  // Only the one refused send reached the pipeline.
  EXPECT_EQ(events("send_rejected").size(), 1u);
  EXPECT_TRUE(events("message_accepted_by_tessik").empty());
}

TEST_F(McpToolsTest, ListAgentsShowsOnlySendableRowsAndMarksSelf) {
  const json listed = json::parse(call(kListAgentsTool).text);
  std::map<std::string, json> by_id;
  for (const json& agent : listed["agents"])
    by_id[agent["id"]] = agent;
  EXPECT_EQ(by_id.size(), 3u);  // self, peer and the built-in mailbox
  ASSERT_TRUE(by_id.count("agent-peer"));
  EXPECT_EQ(by_id["agent-peer"]["name"], "Peer Agent");
  EXPECT_EQ(by_id["agent-peer"]["provider"], "claude_code_cli");
  EXPECT_FALSE(by_id["agent-peer"]["self"]);
  EXPECT_TRUE(by_id["agent-self"]["self"]);
  EXPECT_TRUE(by_id.count(kMailboxAgentId));
  EXPECT_FALSE(by_id.count("agent-off"));
  EXPECT_FALSE(by_id.count("agent-mute"));
}

}  // namespace
}  // namespace tessik
