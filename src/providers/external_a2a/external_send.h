// Sending one message to an external A2A agent over HTTP+JSON or JSON-RPC, and the local task
// record that remembers the outbound send.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/http_client.h"
#include "providers/provider_edge_types.h"

namespace tessik {

// How a send is made beyond what the target row says.
struct ExternalSendOptions {
  // Set for remote Tessik nodes: their own durable bearer token replaces the target's auth
  // scheme ("" refuses the send).
  std::optional<std::string> node_bearer_token;
  HttpRequestOptions http;  // certificates and pinning; proxy and redirects are forced off
};

// One event of the outbound send's local task: 1.0 state name, code and message.
struct ExternalSendEvent {
  std::string state;
  std::string code;
  std::string message;
};

// What the local task of an outbound send records. Contains no credential.
struct ExternalSendTask {
  std::string message_id;
  std::string target_agent;
  std::string target_provider;
  std::string target_provider_session_id;
  std::string requester_agent;
  std::string requester_node;
  std::string body;        // the text sent
  std::string state;       // final 1.0 state
  std::string error_code;  // "" unless the send failed
  std::string error_message;
  std::vector<ExternalSendEvent> events;
};

// Receives the task of every send made in this process. The layer that owns the task store
// installs it (once, before sends start); without one the task is only in the result.
using ExternalSendTaskSink = std::function<void(const ExternalSendTask&)>;
void set_external_send_task_sink(ExternalSendTaskSink sink);

// The task of one outbound send, still without events: who sent what to which agent.
ExternalSendTask external_send_task(const DeliveryRequest& request);

// Adds the "external_a2a_http_send_started" event naming where the message went: a URL, or
// the remote transports' "a2a-relay:<node>" and "ssh://<host>".
void record_external_send_started(ExternalSendTask& task, std::string_view endpoint);

// Adds the answer's event ("external_a2a_http_response_accepted" when the exchange itself
// succeeded, else "external_a2a_http_response_failed") with `detail` as its message, and takes
// the task's state and error from `outcome`.
void record_external_send_answer(ExternalSendTask& task, const ExternalSendEvent& outcome,
                                 std::string detail);

// Hands a finished task to the installed sink; nothing happens without one.
void publish_external_send_task(const ExternalSendTask& task);

// A response body as evidence and task events carry it: UTF-8 repaired and cut at 4 KiB.
std::string recorded_response_body(const std::string& body);

// Sends `request.final_visible_body` to `request.target` as the target's options describe.
// Blocking, bounded by the HTTP client's time-outs; never throws for a failed send. The result
// has state "accepted_by_provider" or "failed", the operation name in `method` and
// "url=... status=... body=..." (never a credential) in `evidence`.
DeliveryResult send_external_message(const DeliveryRequest& request,
                                     const ExternalSendOptions& options = {});

// The local task state for a remote answer: the remote task's state mapped onto 1.0 names,
// with the error code and message of a failure.
ExternalSendEvent external_task_outcome(const HttpResponse& response, bool json_rpc);

}  // namespace tessik
