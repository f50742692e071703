// `tessik send --wait`: follows a handed-off message in the delivery log until the
// background delivery worker records its outcome.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace tessik {

struct DeliveryWaitResult {
  bool finished = false;  // an outcome was recorded before the time ran out
  bool delivered = false;
  std::string stage;   // the deciding stage record ("provider_delivery_accepted", ...)
  std::string detail;  // its detail text
};

// Reads `delivery_log` from its start and then as it grows (a rotated, shorter file is read
// again from its start) until a stage record of `message_id` decides the delivery: the
// worker's "provider_delivery_accepted" (delivered), any failed record of the worker, or a
// failed hand-off of the pipeline. Gives up after `timeout_ns`. Lines that are not JSON
// objects are skipped. Never throws for an unreadable or missing log.
DeliveryWaitResult wait_for_delivery_outcome(const std::filesystem::path& delivery_log,
                                             const std::string& message_id,
                                             std::int64_t timeout_ns);

}  // namespace tessik
