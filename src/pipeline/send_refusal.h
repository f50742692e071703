// The two ends of the pipeline for a target the registry does not know: the refusal text
// explained from the targeted discovery, and the live upstream outbox line.
#pragma once

#include <string>

#include "discovery/discovery_report.h"

namespace tessik {

// The refusal for an unresolved target: a reason chosen from the report's notes and counts,
// then "targeted discovery searched providers for exact target; rows_found=..; enrolled=..;
// updated=..; skipped=..; evidence_only_matches=.." with "; issues=<notes joined by ' | '>"
// and "; discovered=<provider/node/name/session/sendable=..>" when there are any.
std::string unresolved_target_error(const DiscoveryReport& report);

}  // namespace tessik
