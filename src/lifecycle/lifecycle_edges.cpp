// The lifecycle workflows' default logs.
#include "lifecycle/lifecycle_edges.h"

#include "state/state_dir.h"

namespace tessik {

LifecycleLogs default_lifecycle_logs() {
  return {EvidenceLog(create_lifecycle_log_path()), EvidenceLog(events_log_path())};
}

}  // namespace tessik
