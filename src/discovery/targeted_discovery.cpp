// Targeted miss passes. A scan or merge that fails must not turn a miss into a crash of the
// request, so failures are written into the report the pipeline words its refusal from.
#include "discovery/targeted_discovery.h"

#include <exception>

#include "base/text.h"
#include "discovery/claude_session_scan.h"
#include "discovery/discovery_merge.h"
#include "registry/nodes.h"

namespace tessik {
namespace {

enum class PassKind { target, sender };

struct PassWords {
  const char* event;
  const char* remote_note;
  const char* found;
  const char* evidence_only;
  const char* nothing;
};

PassWords words_for(PassKind kind) {
  if (kind == PassKind::target) {
    return {"targeted_discovery_after_registry_miss",
            "Remote discovery is out of scope for local targeted miss resolution.",
            kSendableTargetFound, kEvidenceButNoSendableTarget, kNoSendableTargetFound};
  }
  return {"sender_discovery_after_registry_miss",
          "Remote discovery is out of scope for local sender miss resolution.",
          kResolvedSenderFound, kEvidenceButNoResolvedSender, kNoResolvedSenderFound};
}

std::string candidate_id(const DiscoveredCandidate& c) {
  return trim(c.provider) + ":" + trim(c.node_id) + ":" + trim(c.provider_session_id);
}

void absorb(DiscoveryReport& total, DiscoveryReport&& part) {
  for (DiscoveredCandidate& candidate : part.discovered) {
    total.discovered.push_back(std::move(candidate));
  }
  total.notes.insert(total.notes.end(), part.notes.begin(), part.notes.end());
  total.scan_issues.insert(total.scan_issues.end(), part.scan_issues.begin(),
                           part.scan_issues.end());
  total.enrolled += part.enrolled;
  total.updated += part.updated;
  total.skipped += part.skipped;
  total.evidence_only_matches += part.evidence_only_matches;
}

void record_failure(DiscoveryReport& report, const std::string& what) {
  report.notes.push_back(what);
  report.scan_issues.push_back(what);
}

// Remote nodes are where a target missing locally could live; without any, the pipeline says
// so in its refusal.
void note_missing_remote_nodes(DiscoveryReport& report, const std::filesystem::path& nodes_path) {
  try {
    for (const NodeRecord& node : read_node_registry(nodes_path)) {
      if (node.enabled) return;
    }
    report.notes.push_back("No remote Tessik nodes are registered.");
  } catch (const std::exception& error) {
    record_failure(report, error.what());
  }
}

std::string run_pass(PassKind kind, DiscoveryReport& report, std::string_view wanted,
                     std::string_view node, const Registry& registry,
                     const std::filesystem::path& nodes_path, const EvidenceLog& log,
                     const DiscoveryScanList& scans) {
  const PassWords words = words_for(kind);
  report = DiscoveryReport{};
  report.mode = "targeted";
  report.scope = "local";
  report.query = trim(wanted);
  const std::string wanted_node = trim(node).empty() ? "local" : trim(node);

  std::string stop_reason;
  if (ascii_lower(wanted_node) != "local") {
    report.notes.push_back(words.remote_note);
    stop_reason = words.remote_note;
  } else {
    DiscoveryQuery query{report.query, wanted_node};
    for (const DiscoveryScan* scan : scans) {
      try {
        absorb(report, merge_discovered_agents_into_registry(scan->scan(query), registry, &log));
      } catch (const std::exception& error) {
        record_failure(report, std::string("targeted discovery scan failed: ") + error.what());
      }
    }
    if (scans.empty()) load_registry(registry);  // the pass still sees the current registry
    if (kind == PassKind::target) note_missing_remote_nodes(report, nodes_path);
  }
  report.rows_found = static_cast<std::uint32_t>(report.discovered.size());
  report.issues = static_cast<std::uint32_t>(report.scan_issues.size());

  std::string outcome = words.nothing;
  if (report.enrolled + report.updated > 0) {
    outcome = words.found;
  } else if (report.rows_found > 0 || report.evidence_only_matches > 0) {
    outcome = words.evidence_only;
  }
  if (stop_reason.empty()) stop_reason = outcome;

  EvidenceFields fields;
  if (kind == PassKind::target) {
    fields.emplace_back("target", report.query);
  } else {
    fields.emplace_back("sender", report.query);
    fields.emplace_back("node_id", wanted_node);
  }
  fields.insert(fields.end(),
                {{"rows_found", std::to_string(report.rows_found)},
                 {"evidence_only_matches", std::to_string(report.evidence_only_matches)},
                 {"enrolled", std::to_string(report.enrolled)},
                 {"updated", std::to_string(report.updated)},
                 {"skipped", std::to_string(report.skipped)},
                 {"stop_reason", stop_reason},
                 {"issues", std::to_string(report.issues)},
                 {"summary", targeted_discovery_summary(report)}});
  log.append(words.event, fields);
  return outcome;
}

}  // namespace

const DiscoveryScanList& local_discovery_scans() {
  static const ClaudeSessionScan claude;
  static const DiscoveryScanList scans = {&claude};
  return scans;
}

std::string discover_target_after_registry_miss(DiscoveryReport& report, std::string_view target,
                                                const Registry& registry,
                                                const std::filesystem::path& nodes_registry_path,
                                                const EvidenceLog& log,
                                                const DiscoveryScanList& scans,
                                                std::string_view node) {
  return run_pass(PassKind::target, report, target, node, registry, nodes_registry_path, log,
                  scans);
}

std::string discover_sender_after_registry_miss(DiscoveryReport& report, std::string_view node,
                                                std::string_view sender, const Registry& registry,
                                                const std::filesystem::path& nodes_registry_path,
                                                const EvidenceLog& log,
                                                const DiscoveryScanList& scans) {
  return run_pass(PassKind::sender, report, sender, node, registry, nodes_registry_path, log,
                  scans);
}

std::string targeted_discovery_summary(const DiscoveryReport& report) {
  std::string text = "targeted discovery searched providers for exact target";
  text += "; rows_found=" + std::to_string(report.rows_found);
  text += "; enrolled=" + std::to_string(report.enrolled);
  text += "; updated=" + std::to_string(report.updated);
  text += "; skipped=" + std::to_string(report.skipped);
  text += "; evidence_only_matches=" + std::to_string(report.evidence_only_matches);
  text += "; issues=" + std::to_string(report.issues);
  text += "; discovered=";
  for (std::size_t i = 0; i < report.discovered.size(); ++i) {
    if (i > 0) text += " | ";
    text += candidate_id(report.discovered[i]) +
            "/sendable=" + (report.discovered[i].sendable ? "true" : "false");
  }
  return text;
}

}  // namespace tessik
