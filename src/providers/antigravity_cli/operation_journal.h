// The facts journal of Antigravity CLI operations: one JSON Lines file of numbered facts per
// operation, so that a reply can be bound to exactly one dispatched operation and a failed
// reply is remembered next to it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "state/evidence_log.h"

namespace tessik {

inline constexpr char kOperationDispatchedFact[] = "operation_dispatched";
inline constexpr char kCallbackBoundFact[] = "callback_bound";
inline constexpr char kResponseFailedFact[] = "response_failed";
inline constexpr char kResponseDeliveryStartedFact[] = "response_delivery_started";
inline constexpr char kResponseDeliveredFact[] = "response_delivered";

// One line of a journal: the fact word, its number (1, 2, ...) and its string fields.
struct OperationFact {
  std::string fact;
  std::uint64_t sequence = 0;
  std::string created_at;
  EvidenceFields fields;  // in file order, "operation_id" and "sequence" included

  std::string field(std::string_view key) const;  // empty when absent
};

struct OperationBinding {
  bool bound = false;
  std::string dispatch_token;  // set when bound
  std::string error;           // the refusal when not bound
};

// "operations/antigravity_cli/<sha-256 of the id>.jsonl" in the state directory; the hash
// keeps any operation id safe as a file name.
std::filesystem::path operation_journal_path(std::string_view operation_id);

// Every file operation below takes the journal's lock file (the registry's lock on the
// journal path) for up to 5 seconds, appends whole lines, and throws std::runtime_error when
// the directory, the lock or the file fails. Safe across threads and processes.

// Starts the journal of a newly dispatched operation and returns its fresh dispatch token.
// Throws std::runtime_error when the operation id is blank or already has a journal.
std::string record_operation_dispatched(std::string_view operation_id);

// Binds `callback_message_id` to the operation and gives back its dispatch token. Refuses
// (bound = false) an unknown operation, one whose response already failed, and one already
// bound to another message; binding the same message again answers the same token.
OperationBinding bind_callback_to_operation(std::string_view operation_id,
                                            std::string_view callback_message_id);

// Appends "response_failed" with "reason" and "process_error". Refuses nothing: a failure is
// recorded even for an operation this journal has not seen dispatched.
void record_operation_response_failed(std::string_view operation_id, std::string_view reason,
                                      std::string_view process_error);

// Claims the single delivery of the operation's bound reply: appends
// "response_delivery_started" with "callback_message_id" when the dispatch token matches, the
// message is the one bound, and no delivery was started and no response failed before.
// Otherwise appends nothing and answers the refusal (bound = false). The check and the append
// happen under one lock, so of any number of concurrent claimants at most one succeeds.
OperationBinding begin_operation_response(std::string_view operation_id,
                                          std::string_view dispatch_token,
                                          std::string_view callback_message_id);

// Appends "response_delivered" with "callback_message_id" and "detail".
void record_operation_response_delivered(std::string_view operation_id,
                                         std::string_view callback_message_id,
                                         std::string_view detail);

// The facts of an operation in file order; none when it has no journal. Lines that do not
// parse are skipped.
std::vector<OperationFact> read_operation_facts(std::string_view operation_id);

}  // namespace tessik
