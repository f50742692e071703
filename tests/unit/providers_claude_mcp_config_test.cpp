// The per-session Claude MCP configuration: its exact layout, the preparation steps and their
// failures, and the readiness marker check.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "providers/claude_code_cli/claude_mcp_config.h"
#include "support/build_paths.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

namespace fs = std::filesystem;

constexpr char kUuid[] = "0f8fad5b-d9cb-469f-a165-70867728950e";

TEST(ClaudeMcpConfigTextTest, LayoutIsFixedAndEveryValueEscaped) {
  const std::string text = claude_mcp_configuration_text(
      "/opt/t\"k/tessik", "claude_code_cli:session:abc", "Rev \"A\"\\B",
      "/s/mcp/claude-code-cli-abc.ready.json");
  EXPECT_EQ(text,
            "{\n"
            "  \"mcpServers\": {\n"
            "    \"tessik\": {\n"
            "      \"command\": \"/opt/t\\\"k/tessik\",\n"
            "      \"args\": [\"mcp-server\", \"--host\", \"claude-code-cli\", \"--provider\", "
            "\"claude_code_cli\", \"--provider-session-id\", \"claude_code_cli:session:abc\", "
            "\"--sender-name\", \"Rev \\\"A\\\"\\\\B\"],\n"
            "      \"env\": {\n"
            "        \"TESSIK_MCP_HOST\": \"claude-code-cli\",\n"
            "        \"TESSIK_MCP_PROVIDER\": \"claude_code_cli\",\n"
            "        \"TESSIK_PROVIDER_SESSION_ID\": \"claude_code_cli:session:abc\",\n"
            "        \"TESSIK_SENDER_NAME\": \"Rev \\\"A\\\"\\\\B\",\n"
            "        \"TESSIK_MCP_READY_FILE\": \"/s/mcp/claude-code-cli-abc.ready.json\"\n"
            "      }\n"
            "    }\n"
            "  }\n"
            "}\n");
  EXPECT_EQ(claude_sender_name("  Reviewer \n", kUuid), "Reviewer");
  EXPECT_EQ(claude_sender_name(" ", kUuid), "Claude Code CLI 0f8fad5b");
}

class ClaudeMcpPreparationTest : public ::testing::Test {
 protected:
  test::TempEnv env;
  fs::path tessik = TESSIK_BINARY;
  fs::path mcp = env.state_dir() / "mcp";
};

TEST_F(ClaudeMcpPreparationTest, ConfigurationIsPublishedPrivatelyAndReadsBack) {
  const ClaudeMcpPreparation prepared = prepare_claude_mcp_configuration(kUuid, "Reviewer", tessik);
  ASSERT_TRUE(prepared.ok()) << prepared.error;
  EXPECT_EQ(prepared.paths.configuration, mcp / (std::string("claude-code-cli-") + kUuid + ".json"));
  EXPECT_EQ(prepared.paths.ready_marker,
            mcp / (std::string("claude-code-cli-") + kUuid + ".ready.json"));
  EXPECT_EQ(test::read_file(prepared.paths.configuration),
            claude_mcp_configuration_text(tessik, std::string("claude_code_cli:session:") + kUuid,
                                          "Reviewer", prepared.paths.ready_marker));
  struct stat info {};
  ASSERT_EQ(::stat(prepared.paths.configuration.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_FALSE(fs::exists(prepared.paths.configuration.string() + ".tmp"));
}

TEST_F(ClaudeMcpPreparationTest, ReplacementKeepsThePreviousCopyAndClearsTheMarker) {
  // Only the latest previous copy stays, however often the session was prepared before.
  ASSERT_TRUE(prepare_claude_mcp_configuration(kUuid, "Oldest Name", tessik).ok());
  ASSERT_TRUE(prepare_claude_mcp_configuration(kUuid, "Older Name", tessik).ok());
  ASSERT_TRUE(prepare_claude_mcp_configuration(kUuid, "Old Name", tessik).ok());
  const ClaudeMcpPaths paths = claude_mcp_paths(kUuid);
  // Another session's copy is not this session's to remove.
  const fs::path other = mcp / "claude-code-cli-other.json.previous-1";
  std::ofstream(other) << "{}";
  const std::string old_text = test::read_file(paths.configuration);
  std::ofstream(paths.ready_marker) << "{}";
  ASSERT_TRUE(prepare_claude_mcp_configuration(kUuid, "New Name", tessik).ok());
  EXPECT_FALSE(fs::exists(paths.ready_marker));
  EXPECT_NE(test::read_file(paths.configuration).find("New Name"), std::string::npos);
  std::vector<fs::path> copies;
  for (const auto& entry : fs::directory_iterator(mcp)) {
    if (entry.path().string().rfind(paths.configuration.string() + ".previous-", 0) == 0)
      copies.push_back(entry.path());
  }
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_EQ(test::read_file(copies[0]), old_text);
  EXPECT_TRUE(fs::exists(other));
}

TEST_F(ClaudeMcpPreparationTest, FailuresNameTheirStep) {
  EXPECT_EQ(prepare_claude_mcp_configuration(kUuid, "R", env.root() / "missing").error,
            "Tessik executable required by Claude MCP configuration was not found");
  EXPECT_EQ(prepare_claude_mcp_configuration(kUuid, "R", "").error,
            "Tessik executable required by Claude MCP configuration was not found");

  // A directory where the marker should be cannot be cleared.
  const ClaudeMcpPaths paths = claude_mcp_paths(kUuid);
  fs::create_directories(paths.ready_marker / "occupied");
  EXPECT_EQ(prepare_claude_mcp_configuration(kUuid, "R", tessik).error,
            "could not clear stale Claude MCP readiness marker");
  fs::remove_all(paths.ready_marker);

  // A directory where the configuration should be cannot be replaced.
  fs::create_directories(paths.configuration / "occupied");
  EXPECT_EQ(prepare_claude_mcp_configuration(kUuid, "R", tessik).error,
            "could not preserve the previous Claude MCP configuration before replacement");
  fs::remove_all(paths.configuration);

  fs::remove_all(mcp);
  std::ofstream(mcp) << "a file where the directory belongs";
  EXPECT_EQ(prepare_claude_mcp_configuration(kUuid, "R", tessik).error.rfind(
                "could not create Claude MCP configuration directory: ", 0),
            0u);
}

TEST_F(ClaudeMcpPreparationTest, MarkerIsReadyOnlyForThisSessionsToolsList) {
  const fs::path marker = env.root() / "marker.json";
  const auto with = [&](const std::string& text) {
    std::ofstream(marker) << text;
    return claude_readiness_marker_ready(marker, "claude_code_cli:session:abc");
  };
  EXPECT_TRUE(with(R"({"state":"tools_list_ready","provider":"claude_code_cli",)"
                   R"("provider_session_id":"claude_code_cli:session:abc","pid":4})"));
  EXPECT_FALSE(with(R"({"state":"starting","provider":"claude_code_cli",)"
                    R"("provider_session_id":"claude_code_cli:session:abc"})"));
  EXPECT_FALSE(with(R"({"state":"tools_list_ready","provider":"codex_cli",)"
                    R"("provider_session_id":"claude_code_cli:session:abc"})"));
  EXPECT_FALSE(with(R"({"state":"tools_list_ready","provider":"claude_code_cli",)"
                    R"("provider_session_id":"claude_code_cli:session:other"})"));
  EXPECT_FALSE(with("not json"));
  EXPECT_FALSE(claude_readiness_marker_ready(env.root() / "none.json", "x"));
}

}  // namespace
}  // namespace tessik
