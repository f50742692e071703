// A test HOME with the fake Claude Code CLI installed as $HOME/.local/bin/claude, session
// transcripts written the way Claude Code keeps them, and the fake's event log read back.
#pragma once

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/temp_env.h"

namespace tessik::test {

class ClaudeHome {
 public:
  // Points HOME at <env root>/home, installs the fake and sets FAKE_CLAUDE_LOG.
  explicit ClaudeHome(TempEnv& env);

  const std::filesystem::path& home() const { return home_; }
  // An existing directory sessions can run in.
  const std::filesystem::path& project() const { return project_; }
  std::filesystem::path fake_log() const { return env_.root() / "fake-claude.jsonl"; }
  // Where the fake MCP server appends the tool calls it received.
  std::filesystem::path mcp_calls() const { return env_.root() / "mcp-calls.jsonl"; }
  // The fake MCP server program, for the configuration the adapter writes.
  static std::filesystem::path fake_mcp_server();

  // Writes <home>/.claude/projects/<dir>/<uuid>.jsonl with `lines` (raw text, one per line)
  // and returns its path.
  std::filesystem::path write_transcript(const std::string& uuid,
                                         const std::vector<std::string>& lines,
                                         const std::string& dir = "-project") const;
  // A transcript whose first record proves the session and names `cwd`.
  std::filesystem::path write_session(const std::string& uuid, const std::string& cwd) const;

  // The fake's log records whose "event" is `event`.
  std::vector<nlohmann::json> events(const std::string& event) const;

 private:
  TempEnv& env_;
  std::filesystem::path home_;
  std::filesystem::path project_;
};

}  // namespace tessik::test
