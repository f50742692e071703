// The pipeline context of the current state directory.
#include "pipeline/pipeline_context.h"

#include "state/state_dir.h"

namespace tessik {

PipelineContext default_pipeline_context() {
  return PipelineContext{Registry(agents_registry_path()), EvidenceLog(events_log_path()),
                         nodes_registry_path(), nullptr, {}};
}

}  // namespace tessik
