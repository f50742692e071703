// The Claude Code CLI session scan: finds sessions from the transcripts Claude Code keeps
// under <home>/.claude/projects and reports each as a discovered candidate, sendable only when
// its transcript proves the session and names a working directory that still exists.
#pragma once

#include <cstddef>
#include <filesystem>

#include "discovery/discovery_report.h"

namespace tessik {

inline constexpr std::size_t kClaudeScanFileLimit = 2500;
inline constexpr char kClaudeScanSource[] = "claude_code_cli_jsonl";

// Walks `root` (the projects directory) for at most `file_limit` ".jsonl" files. A full scan
// (`targeted` false) that saw every file reports itself complete. Reads only; never throws for
// unreadable files or a missing root (that is a scan issue).
DiscoveryReport scan_claude_sessions(const std::filesystem::path& root, bool targeted,
                                     std::size_t file_limit = kClaudeScanFileLimit);

// The scan as the discovery passes run it: the current user's projects directory.
class ClaudeSessionScan : public DiscoveryScan {
 public:
  DiscoveryReport scan(const DiscoveryQuery& query) const override;
};

}  // namespace tessik
