// The send pipeline: the one road by which a message reaches an assistant. It validates a
// send, resolves sender and target, checks the target's contract, records the system's own
// receipt, builds the final visible body and hands the delivery to a background worker.
#pragma once

#include <string>
#include <string_view>

#include "pipeline/pipeline_context.h"

namespace tessik {

// Filled by the caller; every text may be empty.
struct SendRequest {
  std::string test_id;  // a fresh id when blank
  std::string target;
  std::string body;
  bool strict = false;
  std::string requested_delivery_method;
  std::string source_context;  // "cli", "a2a_gateway", ...
  std::string from;
  std::string from_node;  // "local" when blank
  // Relayed bodies: the text already is what the target sees, and the sender comes from the
  // four fields below instead of the registry.
  bool body_is_final_visible = false;
  bool sender_resolved = false;
  std::string sender_agent;
  std::string sender_node;
  std::string sender_source;
  // When set, targets that are not in the registry go to this outbox instead of being refused.
  std::string live_upstream_outbox_path;
  // The message id, when the caller recorded the message before the send (the A2A intake
  // stores its task first); a fresh id when blank.
  std::string message_id;
};

inline constexpr char kStatusFailed[] = "failed";
inline constexpr char kStatusAcceptedByTessik[] = "accepted_by_tessik";
inline constexpr char kStatusAcceptedByLiveUpstream[] = "accepted_by_live_upstream_relay";

struct SendOutcome {
  std::string message_id;  // fresh for every call
  std::string status = kStatusFailed;
  std::string target;                 // the request's, then the resolved row's display name
  std::string provider;               // the resolved row's provider, or "live_upstream_relay"
  std::string detail;                 // "tessik_receipt_only" or "outbox=<path>"
  std::string error;                  // the refusal; empty when accepted
  bool accepted = false;              // the system's receipt; a failed hand-off leaves it set
  bool accepted_by_provider = false;  // only the live upstream outbox sets it
};

// Runs the whole pipeline for one message and returns at once after the hand-off; it never
// waits for the delivery. Refusals are outcomes (status "failed", `error` set), each reported
// with the same text in a "send_rejected" event and an error stage record. An accepted message
// is shown to the context's `after_accepted` observer before this returns. Registry, log and
// request-file failures propagate as exceptions. Holds no lock of its own; safe to call from
// several threads at once.
SendOutcome send_message(const PipelineContext& context, const SendRequest& request);

// Appends one "upstream_message" line (message_id, target, body, from, from_node) to the
// outbox, creating its directories. Throws std::runtime_error "live upstream outbox path is
// empty", "could not create live upstream outbox directory: <reason>" or "could not open live
// upstream outbox: <path>".
void append_live_upstream_message(std::string_view outbox_path, std::string_view message_id,
                                  std::string_view target, std::string_view body,
                                  std::string_view from, std::string_view from_node);

}  // namespace tessik
