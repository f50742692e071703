// The remote rename edge: the node's own "tessik rename" run over SSH.
#include <optional>

#include "base/text.h"
#include "providers/remote/remote_delivery.h"
#include "providers/remote/remote_messages.h"
#include "providers/remote/remote_ssh.h"

namespace tessik {
namespace {

constexpr std::int64_t kRemoteRenameTimeoutMs = 300000;

RenameResult rename_failure(const RenameRequest& request, std::string error,
                            std::string evidence) {
  RenameResult result;
  result.provider = "remote";
  result.state = "failed";
  result.method = "ssh_remote_cli_rename";
  result.requested_name = trim(request.requested_name);
  result.error = std::move(error);
  result.evidence = std::move(evidence);
  return result;
}

}  // namespace

RenameResult rename_remote_agent(const RenameRequest& request) {
  const std::string remote_target = trim(request.target.provider_session_id);
  const std::string new_name = trim(request.requested_name);
  const std::string node_id = trim(request.target.node_id);
  if (remote_target.empty()) {
    return rename_failure(request,
                          "remote rename requires provider_session_id to hold the remote "
                          "target name",
                          "node_id=" + node_id);
  }
  if (new_name.empty()) {
    return rename_failure(request, "new remote agent name was empty",
                          "rename requires a non-empty --name value");
  }
  const std::optional<NodeRecord> node = find_remote_node(node_id);
  if (!node) {
    return rename_failure(request, "remote node is not in node registry: " + node_id,
                          "provider=remote requires target node_id to match nodes.tsv");
  }
  if (!node->enabled) {
    return rename_failure(request, "remote node is disabled: " + node_id,
                          "disabled nodes are never contacted");
  }
  if (trim(node->ssh_host).empty() || trim(node->ssh_user).empty()) {
    return rename_failure(request, "remote node is missing host or ssh_user: " + node_id,
                          "node registry row is incomplete");
  }
  const std::string command = ssh_command_prefix(*node, 100) + "tessik rename --agent " +
                              shell_quote(shell_quote(remote_target)) + " --name " +
                              shell_quote(shell_quote(new_name)) + " 2>&1";
  const platform::BoundedProcessResult run = run_ssh_command(command, kRemoteRenameTimeoutMs);
  const std::string evidence = "node_id=" + node_id + " host=" + trim(node->ssh_host) +
                               " remote_target=" + remote_target +
                               " output=" + output_excerpt(run.output);
  if (run.exit_code != 0) {
    return rename_failure(
        request, "remote rename command failed with exit code " + std::to_string(run.exit_code),
        evidence);
  }
  RenameResult result;
  result.provider = "remote";
  result.state = "renamed_session";
  result.method = "renamed_remote_cli_delegate";
  result.verification_state = "verified";
  result.provider_title = new_name;
  result.requested_name = new_name;
  result.evidence = evidence;
  return result;
}

}  // namespace tessik
