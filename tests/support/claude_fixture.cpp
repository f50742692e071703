// The fake Claude home used by the adapter, discovery and end-to-end tests.
#include "support/claude_fixture.h"

#include <fstream>

#include "support/build_paths.h"
#include "support/jsonl_reader.h"

namespace tessik::test {

namespace fs = std::filesystem;

ClaudeHome::ClaudeHome(TempEnv& env)
    : env_(env), home_(env.root() / "home"), project_(env.root() / "project") {
  fs::create_directories(home_ / ".local" / "bin");
  fs::create_directories(project_);
  fs::create_symlink(fs::path(TESSIK_HELPER_DIR) / "fake_claude", home_ / ".local" / "bin" / "claude");
  env.set("HOME", home_.string());
  env.set("FAKE_CLAUDE_LOG", fake_log().string());
  env.set("FAKE_MCP_CALLS_FILE", mcp_calls().string());
}

fs::path ClaudeHome::fake_mcp_server() { return fs::path(TESSIK_HELPER_DIR) / "fake_mcp_server"; }

fs::path ClaudeHome::write_transcript(const std::string& uuid, const std::vector<std::string>& lines,
                                      const std::string& dir) const {
  const fs::path directory = home_ / ".claude" / "projects" / dir;
  fs::create_directories(directory);
  const fs::path path = directory / (uuid + ".jsonl");
  std::ofstream out(path, std::ios::binary);
  for (const std::string& line : lines)
    out << line << "\n";
  return path;
}

fs::path ClaudeHome::write_session(const std::string& uuid, const std::string& cwd) const {
  const nlohmann::json first = {{"type", "user"},
                                {"sessionId", uuid},
                                {"cwd", cwd},
                                {"message", {{"role", "user"}, {"content", "hello"}}}};
  return write_transcript(uuid, {first.dump()});
}

std::vector<nlohmann::json> ClaudeHome::events(const std::string& event) const {
  std::vector<nlohmann::json> matching;
  for (const nlohmann::json& record : read_jsonl(fake_log())) {
    if (record.value("event", "") == event) matching.push_back(record);
  }
  return matching;
}

}  // namespace tessik::test
