// Locating and reading Claude Code CLI session transcripts.
#include "providers/claude_code_cli/claude_session.h"

#include <fstream>
#include <nlohmann/json.hpp>
#include <system_error>

#include "base/json_depth.h"
#include "base/text.h"
#include "providers/provider_tools.h"

namespace tessik {
namespace {

namespace fs = std::filesystem;

// Lines longer than this are only searched as text, never parsed.
constexpr std::size_t kMaxParsedLineBytes = 4u << 20;
constexpr std::uint64_t kMaxDeltaBytes = 16u << 20;

std::string string_member(const nlohmann::json& record, const char* name) {
  const auto it = record.find(name);
  if (it == record.end() || !it->is_string()) return {};
  return it->get<std::string>();
}

bool names_session(std::string_view line, std::string_view uuid) {
  const std::string tight = "\"sessionId\":\"" + std::string(uuid);
  const std::string spaced = "\"sessionId\": \"" + std::string(uuid);
  return line.find(tight) != std::string_view::npos ||
         line.find(spaced) != std::string_view::npos;
}

void read_record(const nlohmann::json& record, std::string_view uuid, ClaudeTranscript& facts) {
  if (facts.cwd.empty()) facts.cwd = string_member(record, "cwd");
  if (record.contains("lastPrompt")) facts.last_prompt_seen = true;
  const std::string type = string_member(record, "type");
  const char* title_member = type == "custom-title" ? "customTitle"
                             : type == "agent-name" ? "agentName"
                                                    : nullptr;
  if (title_member == nullptr) return;
  const std::string session = string_member(record, "sessionId");
  if (!session.empty() && session != uuid) return;  // another session's title
  const auto title = record.find(title_member);
  if (title == record.end() || !title->is_string()) return;
  facts.title = title->get<std::string>();
  facts.has_title = true;
}

void read_line(std::string_view line, std::string_view uuid, ClaudeTranscript& facts) {
  if (names_session(line, uuid)) facts.session_id_proof = true;
  if (line.find("\"type\":\"assistant\"") != std::string_view::npos &&
      line.find("\"stop_reason\":\"end_turn\"") != std::string_view::npos) {
    facts.completed_turn = true;
  }
  if (line.size() > kMaxParsedLineBytes || !json_nesting_within(line)) return;
  const nlohmann::json record = nlohmann::json::parse(line, nullptr, false);
  if (record.is_object()) read_record(record, uuid, facts);
}

}  // namespace

std::string claude_session_uuid(std::string_view provider_session_id) {
  const std::string_view prefix = kClaudeSessionPrefix;
  if (provider_session_id.substr(0, prefix.size()) != prefix) return {};
  return trim(provider_session_id.substr(prefix.size()));
}

std::string claude_provider_session_id(std::string_view uuid) {
  return std::string(kClaudeSessionPrefix) + std::string(uuid);
}

std::string claude_fallback_name(std::string_view uuid) {
  return "Claude Code CLI " + std::string(uuid.size() < 9 ? uuid : uuid.substr(0, 8));
}

fs::path claude_projects_directory() {
  return user_home_directory() / ".claude" / "projects";
}

fs::path find_claude_transcript(std::string_view uuid) {
  if (uuid.empty()) return {};
  const fs::path root = claude_projects_directory();
  const std::string name = std::string(uuid) + ".jsonl";
  std::error_code ec;
  if (fs::is_regular_file(root / name, ec)) return root / name;
  fs::directory_iterator it(root, fs::directory_options::skip_permission_denied, ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    std::error_code entry_error;
    if (!it->is_directory(entry_error)) continue;
    const fs::path candidate = it->path() / name;
    if (fs::is_regular_file(candidate, entry_error)) return candidate;
  }
  return {};
}

ClaudeTranscript read_claude_transcript(const fs::path& path, std::string_view uuid) {
  ClaudeTranscript facts;
  std::ifstream in(path, std::ios::binary);
  if (!in) return facts;
  facts.readable = true;
  std::string line;
  while (std::getline(in, line))
    read_line(line, uuid, facts);
  return facts;
}

std::uint64_t transcript_size(const fs::path& path) {
  std::error_code ec;
  const std::uintmax_t size = fs::file_size(path, ec);
  return ec ? 0 : static_cast<std::uint64_t>(size);
}

std::string read_transcript_delta(const fs::path& path, std::uint64_t offset) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  in.seekg(static_cast<std::streamoff>(offset));
  if (!in) return {};
  std::string delta;
  char buffer[8192];
  while (delta.size() < kMaxDeltaBytes && in.read(buffer, sizeof buffer).gcount() > 0) {
    delta.append(buffer, static_cast<std::size_t>(in.gcount()));
  }
  if (delta.size() > kMaxDeltaBytes) delta.resize(kMaxDeltaBytes);
  return delta;
}

}  // namespace tessik
