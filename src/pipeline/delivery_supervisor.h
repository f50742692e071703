// The delivery supervisor: the child process that delivers a reply bound to one exact
// Antigravity CLI operation, at most once however many supervisors are started for it.
#pragma once

#include <filesystem>
#include <string>

#include "pipeline/delivery_worker.h"

namespace tessik {

struct DeliverySupervisorArguments {
  std::filesystem::path request_file;
  std::string operation_id;
  std::string dispatch_token;
  std::string callback_message_id;
};

// Holds the operation's named mutex while it works, claims the single delivery in the
// operation facts journal (token, bound message and no earlier delivery or failure must
// agree), then delivers the request file as the delivery worker does and records
// "response_delivered" or "response_failed". A refused supervisor delivers nothing and
// removes the request file it could claim, so that nothing resumes it later. Never throws.
DeliveryWorkerOutcome run_delivery_supervisor(const DeliverySupervisorArguments& arguments);

}  // namespace tessik
