// Reading Claude Code CLI output: session ids, MCP readiness, refusals, send-tool proof and
// the result record.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "providers/claude_code_cli/claude_cli_tool.h"
#include "providers/claude_code_cli/claude_output.h"
#include "providers/claude_code_cli/claude_session.h"

namespace tessik {
namespace {

using nlohmann::json;

TEST(ClaudeSessionIdTest, UuidIsTheTrimmedTextAfterThePrefix) {
  EXPECT_EQ(claude_session_uuid("claude_code_cli:session: abc-1 "), "abc-1");
  for (const char* text : {"claude_code_cli:session:", "claude_code_cli:sess:abc",
                           " claude_code_cli:session:abc", "codex:session:abc"})
    EXPECT_EQ(claude_session_uuid(text), "") << text;
  EXPECT_EQ(claude_fallback_name("0f8fad5b-d9cb-469f-a165-70867728950e"), "Claude Code CLI 0f8fad5b");
  EXPECT_EQ(claude_fallback_name("12345678"), "Claude Code CLI 12345678");
  EXPECT_EQ(claude_fallback_name("123456789"), "Claude Code CLI 12345678");
}

TEST(ClaudeOutputTest, PendingTessikServerIsNotReadyRatherThanARefusal) {
  const std::string text = R"({"type":"system","pendingMcpServers": ["other", "tessik"]})";
  EXPECT_TRUE(claude_mcp_not_ready(text));
  EXPECT_FALSE(claude_refused(text));
  EXPECT_TRUE(claude_mcp_not_ready("PendingMCPServers=[Tessik]"));
  EXPECT_FALSE(claude_mcp_not_ready(R"({"pendingMcpServers":["other"]} tessik)"));
  EXPECT_FALSE(claude_mcp_not_ready(R"({"pendingMcpServers":"none"} [tessik])"));
  EXPECT_TRUE(claude_mcp_not_ready("warning: MCP server tessik is Disconnected"));
  EXPECT_TRUE(claude_mcp_not_ready("MCP server TESSIK is unavailable"));
  EXPECT_FALSE(claude_mcp_not_ready("MCP server other is unavailable"));
}

TEST(ClaudeOutputTest, RefusalWordsMatchInAnyCase) {
  for (const char* text :
       {"This looks like a Prompt Injection.", "I CANNOT COMPLY with that", "I can't comply."})
    EXPECT_TRUE(claude_refused(text)) << text;
  EXPECT_FALSE(claude_refused("I can comply and did."));
}

json tool_use_record(const std::string& name) {
  return {{"type", "assistant"},
          {"message",
           {{"content", json::array({{{"type", "text"}, {"text", "sending"}},
                                     {{"type", "tool_use"}, {"name", name}, {"input", json::object()}}})}}}};
}

TEST(ClaudeOutputTest, SendToolProofNeedsAToolUseOfOneOfTheThreeNames) {
  for (const char* name : {"mcp__tessik__tessik_send_message", "mcp__tessik.tessik_send_message",
                           "tessik_send_message"}) {
    const std::string text = "not json\n" + tool_use_record(name).dump() + "\n{broken";
    EXPECT_TRUE(claude_send_tool_called(text)) << name;
  }
  EXPECT_FALSE(claude_send_tool_called(tool_use_record("mcp__tessik__tessik_whoami").dump()));
  EXPECT_FALSE(claude_send_tool_called(tool_use_record("Bash").dump()));
  // The name in plain text or in a record that is not a tool use proves nothing.
  EXPECT_FALSE(claude_send_tool_called("I would call tool_use mcp__tessik__tessik_send_message"));
  EXPECT_FALSE(claude_send_tool_called(
      json{{"type", "text"}, {"name", "mcp__tessik__tessik_send_message"}, {"note", "tool_use"}}.dump()));
  std::string deep(100, '[');
  EXPECT_FALSE(claude_send_tool_called("{\"tool_use\":" + deep));
}

TEST(ClaudeOutputTest, ResultRecordIsTheWholeOutputOrTheLastResultLine) {
  ClaudeResultRecord result = find_claude_result(R"({"type":"result","is_error":true,"session_id":"s1"})");
  EXPECT_TRUE(result.found);
  EXPECT_TRUE(result.is_error);
  EXPECT_EQ(result.session_id, "s1");

  result = find_claude_result(
      "{\"type\":\"system\",\"subtype\":\"init\"}\n"
      "{\"type\":\"result\",\"is_error\":false,\"session_id\":\"first\"}\n"
      "stderr noise\n"
      "{\"type\":\"result\",\"is_error\":false,\"session_id\":\"last\"}\n");
  EXPECT_TRUE(result.found);
  EXPECT_FALSE(result.is_error);
  EXPECT_EQ(result.session_id, "last");

  EXPECT_FALSE(find_claude_result("plain text only").found);
  EXPECT_FALSE(find_claude_result(R"({"is_error":"yes"})").is_error);
}

TEST(ClaudeCapabilitiesTest, HelpTextSetsEachCapabilityOnItsOwn) {
  ClaudeCapabilities c = capabilities_from_help(0, "  --strict-mcp-config  Only these\n");
  EXPECT_TRUE(c.strict_mcp_config);
  EXPECT_FALSE(c.session_name);
  EXPECT_EQ(c.summary(), "help_exit_code=0 strict_mcp_config=true session_name=false");
  c = capabilities_from_help(2, "  -n, --name <name>  Set a name\n  --name-only\n");
  EXPECT_FALSE(c.strict_mcp_config);
  EXPECT_TRUE(c.session_name);
  EXPECT_EQ(c.summary(), "help_exit_code=2 strict_mcp_config=false session_name=true");
  EXPECT_FALSE(capabilities_from_help(0, "--name NAME").session_name);
}

}  // namespace
}  // namespace tessik
