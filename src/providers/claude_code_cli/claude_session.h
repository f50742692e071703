// Claude Code CLI sessions as the assistant keeps them on disk: the provider session id form,
// where a session's transcript lies, and the facts the adapter and discovery read from it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace tessik {

inline constexpr char kClaudeProviderKey[] = "claude_code_cli";
inline constexpr char kClaudeSessionPrefix[] = "claude_code_cli:session:";

// The session UUID of a provider session id: the trimmed text after the prefix; empty when
// the value does not begin with the prefix.
std::string claude_session_uuid(std::string_view provider_session_id);
std::string claude_provider_session_id(std::string_view uuid);
// "Claude Code CLI " + the first 8 characters of the UUID (all of it when shorter than 9).
std::string claude_fallback_name(std::string_view uuid);

// <home>/.claude/projects, where Claude Code keeps one directory of transcripts per project.
std::filesystem::path claude_projects_directory();
// The transcript "<uuid>.jsonl" directly under the projects directory or in one of its project
// directories; empty when there is none. Reads the environment and the disk on every call.
std::filesystem::path find_claude_transcript(std::string_view uuid);

// What one read of a transcript learned. Lines that are not JSON objects are skipped for the
// parsed facts; the textual proofs look at every line.
struct ClaudeTranscript {
  bool readable = false;
  std::string cwd;    // the first non-empty "cwd"
  std::string title;  // the last "custom-title"/"agent-name" record's title for this session
  bool has_title = false;
  bool completed_turn = false;    // an assistant record with "stop_reason":"end_turn"
  bool last_prompt_seen = false;  // some record carries "lastPrompt"
  bool session_id_proof = false;  // the text names "sessionId" with this UUID
};

// Reads the transcript at `path` for the session `uuid`. Never throws for unreadable files or
// malformed lines.
ClaudeTranscript read_claude_transcript(const std::filesystem::path& path, std::string_view uuid);

// The size of `path` in bytes; 0 when it cannot be read.
std::uint64_t transcript_size(const std::filesystem::path& path);
// The bytes of `path` from `offset` on (at most 16 MiB): what a turn appended.
std::string read_transcript_delta(const std::filesystem::path& path, std::uint64_t offset);

}  // namespace tessik
