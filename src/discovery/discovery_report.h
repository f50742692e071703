// What a discovery scan reports: the sessions it found as candidates, with its notes, its
// scope and the counters that a merge fills. Also the interface every provider scan offers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tessik {

// One session a scan found.
struct DiscoveredCandidate {
  std::string display_name;
  std::string provider;
  std::string provider_session_id;
  std::string node_id;
  std::string status;           // "archived" marks an archived session
  bool sendable_claim = false;  // the scan believes the session can receive messages
  bool second_proof = false;    // an additional proof some scans set
  // The Codex-specific proof that replaces the second proof for local Codex candidates: the
  // desktop's own state knows the thread.
  bool codex_desktop_proof = false;
  std::string source;  // scan and evidence kind, e.g. "claude_code_cli_jsonl"
  std::vector<std::string> evidence;
  std::string last_seen;  // "%Y-%m-%dT%H:%M:%SZ", empty when unknown
  std::string error;      // why the scan does not consider it a target
  bool sendable = false;  // the merge's verdict, filled by the merge
};

struct DiscoveryReport {
  std::string mode;   // e.g. "registry", "targeted"
  std::string scope;  // e.g. "local"
  std::string query;  // the wanted name of a targeted pass
  // The scan's own identity, used to recognise its stale rows after a complete scan.
  std::string provider;
  std::string node_id;
  std::vector<std::string> sources;
  std::optional<std::string> provider_filter;
  bool complete = false;  // the scan saw every session of its provider on its node

  std::vector<DiscoveredCandidate> discovered;
  std::vector<std::string> notes;
  std::vector<std::string> scan_issues;

  std::uint32_t rows_found = 0;
  std::uint32_t enrolled = 0;
  std::uint32_t updated = 0;
  std::uint32_t skipped = 0;
  std::uint32_t evidence_only_matches = 0;
  std::uint32_t issues = 0;
};

// What a targeted pass asks a scan for.
struct DiscoveryQuery {
  std::string wanted_name;  // empty for a full scan
  std::string node_id = "local";
};

// One provider's scan of its assistant's own state. Runs before any registry lock is taken.
// Failures the scan can explain go into the report's notes and scan_issues; it throws only
// for broken invariants.
class DiscoveryScan {
 public:
  virtual ~DiscoveryScan() = default;
  virtual DiscoveryReport scan(const DiscoveryQuery& query) const = 0;
};

}  // namespace tessik
