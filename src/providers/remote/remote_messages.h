// The documents exchanged with remote nodes: the relay session's input lines and the parsing
// of its answers, the JSON-RPC SendMessage of the A2A transports, the legacy API body, and
// the SSH command lines. Pure functions; no I/O.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "providers/provider_edge_types.h"
#include "registry/nodes.h"

namespace tessik {

// Refuse relay answers past this many bytes per line before parsing them.
inline constexpr std::size_t kMaxRelayLineBytes = 1048576;

// The hello and deliver lines of a relay session, each ended by "\n". `remote_target` is the
// agent's name on the remote node; `request_id` identifies the delivery.
std::string relay_session_input(const DeliveryRequest& request, std::string_view remote_target,
                                std::string_view request_id);

// One answer line of a relay session.
struct RelayAnswer {
  std::string type;  // "upstream_message", "deliver_result", "error"
  // upstream_message
  std::string target;
  std::string body;
  std::string from;
  std::string from_node;
  std::string message_id;
  // deliver_result and error
  bool accepted = false;
  std::string state;
  std::string method;
  std::string evidence;
  std::string error;
};

// Parses one line; nothing for a line that is not a JSON object with a known "type" (blank,
// too long or too deep lines included: SSH banners and shell noise share the stream).
std::optional<RelayAnswer> parse_relay_answer(std::string_view line);

// The JSON-RPC 2.0 "SendMessage" request (A2A 1.0) for a remote agent, with the routing
// metadata the receiving node uses. `rpc_id` becomes the request id.
std::string remote_send_message_request(const DeliveryRequest& request,
                                        std::string_view remote_target,
                                        std::string_view target_node, std::string_view rpc_id);

// The outcome of a JSON-RPC answer: the first line of `output` holding "jsonrpc" decides.
struct JsonRpcAnswer {
  bool found = false;     // a JSON-RPC line was there
  bool accepted = false;  // it carried a result
  std::string task_id;
  std::string task_state;
  std::string error;  // the error's message, or why the line could not be read
  std::string line;   // the JSON-RPC line itself
};
JsonRpcAnswer read_json_rpc_answer(std::string_view output);

// {"to":..,"body":..,"from":..,"from_node":..,"strict":..} in that order.
std::string legacy_api_body(std::string_view to, std::string_view body, std::string_view from,
                            std::string_view from_node, bool strict);

// A word quoted for a POSIX shell: single quotes, each embedded quote as '\''.
std::string shell_quote(std::string_view word);

// "ssh -o BatchMode=yes -o ConnectTimeout=<n>[ -i <identity>] <user>@<host> <remote command>"
// with the identity file and destination quoted for the local shell.
std::string ssh_command_prefix(const NodeRecord& node, int connect_timeout_seconds);

// Whether SSH output says that the remote program does not know the command.
bool remote_command_unknown(std::string_view output);

}  // namespace tessik
