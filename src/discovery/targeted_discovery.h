// The targeted passes that target and sender resolution start after a registry miss: run the
// local provider scans for the wanted name, merge what they find, and say what came of it.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "discovery/discovery_report.h"
#include "registry/registry.h"
#include "state/evidence_log.h"

namespace tessik {

using DiscoveryScanList = std::vector<const DiscoveryScan*>;

// The local provider scans of this build, in the order a targeted pass runs them (the Claude
// Code CLI session scan). Built once, immutable.
const DiscoveryScanList& local_discovery_scans();

// Outcome words of the two passes.
inline constexpr char kSendableTargetFound[] = "sendable_target_found";
inline constexpr char kEvidenceButNoSendableTarget[] = "evidence_found_but_no_sendable_target";
inline constexpr char kNoSendableTargetFound[] = "no_sendable_target_found";
inline constexpr char kResolvedSenderFound[] = "resolved_sender_found";
inline constexpr char kEvidenceButNoResolvedSender[] = "evidence_found_but_no_resolved_sender";
inline constexpr char kNoResolvedSenderFound[] = "no_resolved_sender_found";

// Runs `scans` for `target` on `node` ("local" unless the caller knows better), merges each
// report, fills `report` (mode "targeted", scope "local", query, the discovered candidates,
// notes and summed counters) and appends "targeted_discovery_after_registry_miss" to `log`.
// Scan and merge failures become notes and issues; the pass goes on. With no scans it only
// reloads the registry, which throws RegistryError when the registry cannot be read.
std::string discover_target_after_registry_miss(
    DiscoveryReport& report, std::string_view target, const Registry& registry,
    const std::filesystem::path& nodes_registry_path, const EvidenceLog& log,
    const DiscoveryScanList& scans = local_discovery_scans(), std::string_view node = "local");

// The same for a sender named `sender` on `node`; event "sender_discovery_after_registry_miss".
std::string discover_sender_after_registry_miss(
    DiscoveryReport& report, std::string_view node, std::string_view sender,
    const Registry& registry, const std::filesystem::path& nodes_registry_path,
    const EvidenceLog& log, const DiscoveryScanList& scans = local_discovery_scans());

// "targeted discovery searched providers for exact target; rows_found=..; enrolled=..;
// updated=..; skipped=..; evidence_only_matches=..; issues=..; discovered=<id>/sendable=.."
std::string targeted_discovery_summary(const DiscoveryReport& report);

}  // namespace tessik
