// The modes another node starts over SSH: `relay-session --stdio`, `a2a-relay-session --stdio`
// and `rename --agent NAME --name NEW`.
#pragma once

#include <string>
#include <vector>

namespace tessik {

// Reads a hello and a deliver line from stdin, sends the message through this node's own send
// pipeline, and prints one "upstream_message" line per message the pipeline handed back for
// agents this node does not know, then one "deliver_result" line (or one "error" line).
// Exit 0 when a result line was printed, 2 for bad arguments.
int run_relay_session_command(const std::vector<std::string>& args);

// Reads one JSON-RPC request line from stdin and prints the gateway's one-line JSON-RPC answer
// (refusals included); exit 0 when a line was printed, 2 for bad arguments.
int run_a2a_relay_session_command(const std::vector<std::string>& args);

}  // namespace tessik
