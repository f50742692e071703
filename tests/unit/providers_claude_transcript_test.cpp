// Claude Code CLI transcripts: finding a session's file and reading its cwd, title, completed
// turns and identity proof, with malformed lines skipped.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "providers/claude_code_cli/claude_session.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr char kUuid[] = "0f8fad5b-d9cb-469f-a165-70867728950e";

class ClaudeTranscriptTest : public ::testing::Test {
 protected:
  test::TempEnv env;
  fs::path projects = env.root() / ".claude" / "projects";

  void SetUp() override { env.set("HOME", env.root().string()); }

  fs::path write(const std::vector<std::string>& lines, const std::string& dir = "-work-app") {
    fs::create_directories(projects / dir);
    const fs::path path = projects / dir / (std::string(kUuid) + ".jsonl");
    std::ofstream out(path, std::ios::binary);
    for (const std::string& line : lines) out << line << "\n";
    return path;
  }
};

TEST_F(ClaudeTranscriptTest, TranscriptIsFoundInAProjectDirectoryOrTheRoot) {
  EXPECT_EQ(find_claude_transcript(kUuid), fs::path());
  const fs::path nested = write({"{}"});
  EXPECT_EQ(find_claude_transcript(kUuid), nested);
  EXPECT_EQ(find_claude_transcript(""), fs::path());
  EXPECT_EQ(find_claude_transcript("0f8fad5b-0000-469f-a165-70867728950e"), fs::path());
  fs::create_directories(projects / "a" / "b");
  fs::rename(nested, projects / "a" / "b" / nested.filename());
  EXPECT_EQ(find_claude_transcript(kUuid), fs::path()) << "only one level of projects is searched";
}

TEST_F(ClaudeTranscriptTest, FactsComeFromTheRightRecordsAndBrokenLinesAreSkipped) {
  const fs::path path = write({
      "{not json at all",
      json{{"type", "summary"}, {"cwd", ""}}.dump(),
      json{{"type", "user"}, {"cwd", "/first"}, {"sessionId", kUuid}}.dump(),
      json{{"type", "user"}, {"cwd", "/second"}}.dump(),
      json{{"type", "custom-title"}, {"customTitle", "One"}, {"sessionId", kUuid}}.dump(),
      json{{"type", "agent-name"}, {"agentName", "Two"}}.dump(),
      json{{"type", "custom-title"}, {"customTitle", "Foreign"}, {"sessionId", "other"}}.dump(),
      "[1,2,3]",
      json{{"type", "custom-title"}, {"customTitle", 7}}.dump(),
  });
  const ClaudeTranscript facts = read_claude_transcript(path, kUuid);
  EXPECT_TRUE(facts.readable);
  EXPECT_EQ(facts.cwd, "/first");
  EXPECT_TRUE(facts.has_title);
  EXPECT_EQ(facts.title, "Two");
  EXPECT_TRUE(facts.session_id_proof);
  EXPECT_FALSE(facts.completed_turn);
  EXPECT_FALSE(facts.last_prompt_seen);
}

TEST_F(ClaudeTranscriptTest, TurnsPromptsAndProofAreRecognised) {
  const fs::path path = write({
      R"({"type":"assistant","message":{"stop_reason":"tool_use"}})",
      R"({"type":"summary","lastPrompt":"hi"})",
      std::string(R"({"sessionId": ")") + kUuid + R"("})",
  });
  ClaudeTranscript facts = read_claude_transcript(path, kUuid);
  EXPECT_FALSE(facts.completed_turn);
  EXPECT_TRUE(facts.last_prompt_seen);
  EXPECT_TRUE(facts.session_id_proof) << "the spaced form counts as proof";
  EXPECT_FALSE(facts.has_title);

  write({R"({"type":"assistant","message":{"stop_reason":"end_turn"}})",
         R"({"sessionId":"0f8fad5b-d9cb-469f-a165-70867728950f"})"});
  facts = read_claude_transcript(path, kUuid);
  EXPECT_TRUE(facts.completed_turn);
  EXPECT_FALSE(facts.session_id_proof) << "another session's id is no proof";

  EXPECT_FALSE(read_claude_transcript(env.root() / "missing.jsonl", kUuid).readable);
}

TEST_F(ClaudeTranscriptTest, DeltaIsWhatWasAppendedSinceTheNotedSize) {
  const fs::path path = write({"line one"});
  const std::uint64_t start = transcript_size(path);
  EXPECT_EQ(start, 9u);
  std::ofstream(path, std::ios::app) << "line two\n";
  EXPECT_EQ(read_transcript_delta(path, start), "line two\n");
  EXPECT_EQ(read_transcript_delta(path, 1000), "");
  EXPECT_EQ(transcript_size(env.root() / "missing"), 0u);
}

}  // namespace
}  // namespace tessik
