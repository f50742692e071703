// Claude Code CLI session discovery over the assistant's own transcripts.
#include "discovery/claude_session_scan.h"

#include <chrono>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "base/random.h"
#include "base/text.h"
#include "providers/claude_code_cli/claude_session.h"

namespace tessik {
namespace {

namespace fs = std::filesystem;

// The first `limit` ".jsonl" regular files below `root`, links not followed.
std::vector<fs::path> collect_transcripts(const fs::path& root, std::size_t limit,
                                          bool& limit_reached) {
  std::vector<fs::path> files;
  std::error_code ec;
  fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec);
  for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    std::error_code entry_error;
    if (it->path().extension() != ".jsonl" || !it->is_regular_file(entry_error)) continue;
    if (files.size() == limit) {
      limit_reached = true;
      break;
    }
    files.push_back(it->path());
  }
  return files;
}

std::string modified_at(const fs::path& path) {
  std::error_code ec;
  const fs::file_time_type time = fs::last_write_time(path, ec);
  if (ec) return {};
  const auto system = std::chrono::file_clock::to_sys(time);
  return format_utc_timestamp(
      std::chrono::duration_cast<std::chrono::seconds>(system.time_since_epoch()).count());
}

std::string first_issue(const ClaudeTranscript& facts) {
  if (!facts.session_id_proof) return "Claude JSONL did not contain matching sessionId proof";
  if (facts.cwd.empty()) return "Claude JSONL did not contain a cwd for documented CLI resume";
  std::error_code ec;
  if (!fs::is_directory(facts.cwd, ec)) return "Claude session cwd no longer exists: " + facts.cwd;
  return {};
}

DiscoveredCandidate candidate_for(const fs::path& path, const std::string& uuid,
                                  const ClaudeTranscript& facts) {
  DiscoveredCandidate candidate;
  candidate.display_name = facts.has_title && !trim(facts.title).empty()
                               ? facts.title
                               : claude_fallback_name(uuid);
  candidate.provider = kClaudeProviderKey;
  candidate.provider_session_id = claude_provider_session_id(uuid);
  candidate.node_id = "local";
  candidate.error = first_issue(facts);
  const bool valid = candidate.error.empty();
  candidate.status = valid ? "active" : "evidence_only";
  candidate.sendable_claim = valid;
  candidate.second_proof = valid;
  candidate.source = kClaudeScanSource;
  candidate.evidence = {"jsonl=" + path.string(), "session_id=" + uuid};
  if (!facts.cwd.empty()) candidate.evidence.push_back("cwd=" + facts.cwd);
  if (facts.last_prompt_seen) candidate.evidence.push_back("last_prompt_seen=true");
  candidate.last_seen = modified_at(path);
  return candidate;
}

}  // namespace

DiscoveryReport scan_claude_sessions(const fs::path& root, bool targeted, std::size_t file_limit) {
  DiscoveryReport report;
  report.mode = targeted ? "targeted" : "registry";
  report.scope = "local";
  report.provider = kClaudeProviderKey;
  report.node_id = "local";
  report.sources = {kClaudeScanSource};
  std::error_code ec;
  if (!fs::is_directory(root, ec)) {
    report.scan_issues.push_back("Claude projects directory was not found: " + root.string());
    return report;
  }
  bool limit_reached = false;
  std::set<std::string> seen;
  for (const fs::path& path : collect_transcripts(root, file_limit, limit_reached)) {
    const std::string uuid = path.stem().string();
    if (!is_uuid_text(uuid) || !seen.insert(uuid).second) continue;
    // A transcript that cannot be read proves nothing either way; reporting it as unproven
    // would downgrade a working session over a passing permission or rotation problem.
    const ClaudeTranscript facts = read_claude_transcript(path, uuid);
    if (!facts.readable) continue;
    report.discovered.push_back(candidate_for(path, uuid, facts));
  }
  if (limit_reached)
    report.scan_issues.push_back("bounded scan stopped at file limit under " + root.string());
  report.complete = !targeted && !limit_reached;
  return report;
}

DiscoveryReport ClaudeSessionScan::scan(const DiscoveryQuery& query) const {
  DiscoveryReport report = scan_claude_sessions(claude_projects_directory(),
                                                !trim(query.wanted_name).empty());
  report.query = query.wanted_name;
  return report;
}

}  // namespace tessik
