// Stage records in the delivery log.
#include "pipeline/delivery_stage.h"

namespace tessik {

void append_delivery_stage(const EvidenceLog& log, const DeliveryStage& stage,
                           const std::string& source) {
  log.append(kDeliveryStageEvent, {{"test_id", stage.test_id},
                                   {"message_id", stage.message_id},
                                   {"provider", stage.provider},
                                   {"target", stage.target},
                                   {"session_id", stage.session_id},
                                   {"node", stage.node},
                                   {"stage", stage.stage},
                                   {"result", stage.ok ? "ok" : "error"},
                                   {"detail", stage.detail},
                                   {"source", source}});
}

}  // namespace tessik
