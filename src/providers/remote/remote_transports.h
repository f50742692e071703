// The five ways of reaching a remote node. Each runs once, never retries, and reports whether
// falling back to another transport is safe (nothing can have reached the remote agent).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/bounded_process.h"

#include "providers/external_a2a/external_send.h"
#include "providers/provider_edge_types.h"
#include "providers/remote/remote_plan.h"
#include "registry/nodes.h"

namespace tessik {

// The access-token prefix that tells a durable token from a one-time pairing code.
inline constexpr char kAccessTokenPrefix[] = "TSKT-";

// Whole-run limits of the ssh commands (the connect time-outs are in the command lines). A
// remote that hangs is stopped at these, and the attempt fails with the runner's exit code.
struct RemoteSshTimeouts {
  std::int64_t a2a_ssh_ms = 180000;
  std::int64_t relay_session_ms = 300000;
  std::int64_t rename_ms = 300000;
};
// The limits in force; the setter exists so that tests need not wait minutes for a hang.
// Not synchronized: set them before any delivery starts.
const RemoteSshTimeouts& ssh_timeouts();
void set_ssh_timeouts(const RemoteSshTimeouts& timeouts);

// One delivery to one remote agent.
struct RemoteCall {
  DeliveryRequest request;
  NodeRecord node;
  std::string remote_target;  // the agent's name on the node
};

struct RemoteAttempt {
  DeliveryResult result;
  bool fallback_safe = false;
  // The local task of an A2A attempt, once it began talking to the node (the legacy
  // transports keep none). The plan publishes it when it ends, so that a later transport's
  // success can still be told in it.
  std::optional<ExternalSendTask> task;
};

// A failed attempt with `method` (fallback not safe unless the caller says so) and an
// accepted one with state "accepted_by_remote"; both name the remote target.
RemoteAttempt remote_attempt_failed(const RemoteCall& call, std::string_view method,
                                    std::string error, std::string evidence = {});
RemoteAttempt remote_attempt_accepted(const RemoteCall& call, std::string_view method,
                                      std::string evidence);

// A message that a relay session handed back for an agent of this node.
struct UpstreamMessage {
  std::string message_id;
  std::string target;
  std::string body;
  std::string from;
  std::string from_node;
  std::string via_node;  // the node whose relay session handed it back
};

// Takes an upstream message into the local message pipeline and returns a short evidence
// text ("accepted", or why not). The pipeline lives above this layer, so the process that
// delivers installs it (the delivery worker does); without one, upstream messages are
// reported as not taken. Installing is not synchronized: do it before any delivery starts.
using UpstreamMessageHandler = std::function<std::string(const UpstreamMessage&)>;
void set_upstream_message_handler(UpstreamMessageHandler handler);

RemoteAttempt send_a2a_https(const RemoteCall& call);
RemoteAttempt send_a2a_relay(const RemoteCall& call);
RemoteAttempt send_a2a_ssh(const RemoteCall& call);
RemoteAttempt send_legacy_api(const RemoteCall& call);
RemoteAttempt send_legacy_ssh(const RemoteCall& call);

// Runs `command` with "/bin/sh -c" as a bounded process of at most `timeout_ms` (the SSH
// transports and the remote rename run their ssh command lines this way).
platform::BoundedProcessResult run_ssh_command(const std::string& command,
                                               std::int64_t timeout_ms);

// The outcome of a relay session's output: upstream messages go to the installed handler
// (each named in the evidence), the first "deliver_result" or "error" line decides; output
// without either fails, safely for fallback only when the remote did not know the command.
RemoteAttempt read_relay_output(const RemoteCall& call, const platform::BoundedProcessResult& run);

// Runs the transport named.
RemoteAttempt run_remote_transport(RemoteTransport transport, const RemoteCall& call);

}  // namespace tessik
