// The records that travel through the provider edges: the send request and its result, the
// create request and result, and the rename request and result.
#pragma once

#include <string>

#include "registry/agent_record.h"
#include "registry/sender_resolution.h"

namespace tessik {

// One delivery as the hand-off writes it and the delivery worker passes it to the send edge.
struct DeliveryRequest {
  std::string test_id;
  std::string message_id;
  AgentRecord target;  // the resolved row
  SenderResolution sender;
  std::string final_visible_body;
  std::string requested_delivery_method;
  std::string source_context;
  std::string live_upstream_outbox_path;
  std::string model_vendor;
  std::string model_id;
  std::string model_family;
  bool callback_expected = false;
  bool strict = false;
};

// What the send edge and every delivery adapter return.
struct DeliveryResult {
  std::string provider;
  std::string state;  // "failed" on every failure made by an edge
  bool accepted = false;
  bool degraded = false;  // accepted, but by a weaker route than requested
  std::string method;     // delivery method used, or the failure kind
  std::string provider_session_id;
  std::string display_name;  // the target's name as the adapter knows it, when it says
  std::string evidence;      // space-separated key=value diagnostics
  std::string error;         // human message
};

struct CreateRequest {
  std::string request_id;  // a fresh random id when blank
  std::string provider;    // key or alias; the edge normalizes it
  std::string requested_name;
  std::string initial_message;
  std::string model;
  std::string cwd;
  std::string from;
  std::string from_node;
};

struct CreateResult {
  std::string provider;
  std::string state;  // "failed" on failure
  bool accepted = false;
  bool initial_message_sent = false;
  std::string method;
  std::string evidence;
  std::string error;
  std::string requested_name;
  std::string provider_title;
  std::string provider_session_id;
  std::string correlation_state;  // e.g. "requested_session_id", "event_pending", "unsupported"
  bool rename_recommended = false;
  std::string registry_display_name;
  // The background operation that finishes a creation accepted with correlation state
  // "event_pending" (correlation, title verification, enrollment); empty when none owns it.
  std::string operation_id;
};

struct RenameRequest {
  std::string request_id;
  AgentRecord target;
  std::string requested_name;
};

struct RenameResult {
  std::string provider;
  std::string state;  // "renamed_session", "unverified", "failed", ...
  // The provider took the rename: set for a verified rename and for one it could not prove
  // ("unverified"); clear for every failure.
  bool accepted = false;
  std::string method;
  std::string verification_state;  // "verified" when the provider's title read back equal
  std::string provider_title;      // the title read back from the provider
  std::string requested_name;
  std::string registry_display_name;  // the name the adapter suggests for the registry row
  std::string evidence;
  std::string error;
};

}  // namespace tessik
