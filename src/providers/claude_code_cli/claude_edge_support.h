// What the three Claude edges share: the session lookup that resume and rename start with,
// the child-process options, and small result helpers.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/bounded_process.h"
#include "providers/claude_code_cli/claude_code_cli_adapter.h"
#include "providers/claude_code_cli/claude_session.h"

namespace tessik {

// An expected failure of an edge step: the message and its evidence text.
struct ClaudeEdgeFailure {
  std::string error;
  std::string evidence;
};

// An existing session to resume: its UUID, transcript and working directory.
struct ClaudeResumeTarget {
  std::string uuid;
  std::filesystem::path executable;
  std::filesystem::path transcript;
  std::string cwd;
};

// The UUID of `provider_session_id`, or the "missing claude_code_cli:session:<uuid>" failure
// when the text after the prefix is not a UUID.
std::optional<ClaudeEdgeFailure> parse_session_uuid(std::string_view provider_session_id,
                                                    std::string& uuid);
// The installed executable, or the "was not found" failure.
std::optional<ClaudeEdgeFailure> locate_executable(std::filesystem::path& executable);
// The transcript of `target.uuid` and its working directory, which must still exist.
std::optional<ClaudeEdgeFailure> locate_transcript_and_cwd(ClaudeResumeTarget& target);

// Options for one Claude run: the builder's limits, `cwd` as working directory (when given)
// and `timeout_ms`.
platform::BoundedProcessOptions claude_run_options(const std::filesystem::path& executable,
                                                   std::vector<std::string> arguments,
                                                   const std::string& cwd,
                                                   std::int64_t timeout_ms);

// The settings' executable, else this running program's path.
std::filesystem::path tessik_executable_for(const ClaudeCliSettings& settings);

inline const char* bool_word(bool value) { return value ? "true" : "false"; }

}  // namespace tessik
