// Remote node rows and deliveries for the remote transport tests.
#include "support/remote_nodes.h"

#include <fstream>

namespace tessik::test {

void write_node_n1(const std::filesystem::path& path, const NodeRowSpec& spec) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      << "n1\tNode\t\t" << spec.transport << '\t' << spec.api_url << '\t' << spec.ssh_host << '\t'
      << spec.ssh_user << '\t' << spec.secret << '\t' << spec.identity_file << '\t'
      << (spec.enabled ? "true" : "false") << "\tmanual\t\t\n";
}

DeliveryRequest delivery_to_bob_on_n1() {
  DeliveryRequest request;
  request.message_id = "m1";
  request.target.provider = "remote";
  request.target.node_id = "n1";
  request.target.provider_session_id = "bob";
  request.final_visible_body = "hello bob";
  request.sender.resolved = true;
  request.sender.sender = "alice";
  request.sender.node_id = "local";
  return request;
}

}  // namespace tessik::test
