// Remote nodes for tests: a node registry row written in the current layout and a delivery
// from "alice" to agent "bob" on node "n1".
#pragma once

#include <filesystem>
#include <string>

#include "providers/provider_edge_types.h"

namespace tessik::test {

struct NodeRowSpec {
  std::string transport = {};
  std::string api_url = {};
  std::string ssh_host = {};
  std::string ssh_user = {};
  std::string secret = {};  // stored as is (unprotected)
  std::string identity_file = {};
  bool enabled = true;
};

// Replaces `path` with the single row of node "n1".
void write_node_n1(const std::filesystem::path& path, const NodeRowSpec& spec);

// "hello bob" from the resolved sender "alice" on "local" to "bob" on node "n1".
DeliveryRequest delivery_to_bob_on_n1();

}  // namespace tessik::test
