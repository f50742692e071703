// Stage records: the per-stage trail of one message in "delivery.jsonl", written by the send
// pipeline and by the delivery worker that continues its work in another process.
#pragma once

#include <string>

#include "state/evidence_log.h"

namespace tessik {

inline constexpr char kDeliveryStageEvent[] = "delivery_stage";
inline constexpr char kStageSourcePipeline[] = "message_pipeline";
inline constexpr char kStageSourceDeliveryWorker[] = "delivery_worker";

// One record; `ok` selects the result word "ok" or "error".
struct DeliveryStage {
  std::string test_id;
  std::string message_id;
  std::string provider;
  std::string target;
  std::string session_id;
  std::string node;
  std::string stage;
  bool ok = true;
  std::string detail;
};

// Appends {"event_type":"delivery_stage",...} with the fields test_id, message_id, provider,
// target, session_id, node, stage, result, detail, source in this order. Throws the log's
// own errors.
void append_delivery_stage(const EvidenceLog& log, const DeliveryStage& stage,
                           const std::string& source);

}  // namespace tessik
