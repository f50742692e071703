// `tessik rename --agent NAME --name NEW`: renames one agent of this node through the rename
// workflow. Another node runs it over SSH and reads only the exit code and the output.
#include "app/rename_command.h"

#include <cstdio>
#include <optional>

#include "base/random.h"
#include "base/text.h"
#include "lifecycle/lifecycle_edges.h"
#include "lifecycle/rename_workflow.h"
#include "registry/name_key.h"
#include "registry/registry.h"
#include "state/state_dir.h"

namespace tessik {
namespace {

int usage(const std::string& why) {
  std::fprintf(stderr, "tessik rename: %s\nusage: tessik rename --agent NAME --name NEW\n",
               why.c_str());
  return 2;
}

// The one enabled row whose agent id is `name`, else whose display name or an alias is
// `name` (ignoring case); nothing when none or several match.
std::optional<AgentRecord> find_local_agent(const std::vector<AgentRecord>& rows,
                                            const std::string& name, std::string& error) {
  for (const AgentRecord& row : rows) {
    if (row.enabled && trim(row.agent_id) == name) return row;
  }
  const std::string key = target_name_key(name);
  std::optional<AgentRecord> found;
  for (const AgentRecord& row : rows) {
    if (!row.enabled) continue;
    bool match = target_name_key(row.display_name) == key;
    for (const std::string& alias : row.aliases) match = match || target_name_key(alias) == key;
    if (!match) continue;
    if (found) {
      error = "agent name is ambiguous on this node: " + name;
      return std::nullopt;
    }
    found = row;
  }
  if (!found) error = "agent not found on this node: " + name;
  return found;
}

}  // namespace

int run_rename_command(const std::vector<std::string>& args) {
  std::string agent;
  std::string name;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--agent" && i + 1 < args.size()) {
      agent = trim(args[++i]);
    } else if (args[i] == "--name" && i + 1 < args.size()) {
      name = args[++i];
    } else {
      return usage("unexpected argument: " + args[i]);
    }
  }
  if (agent.empty()) return usage("--agent NAME is required");
  const Registry registry(agents_registry_path());
  std::string error;
  const std::optional<AgentRecord> target = find_local_agent(load_registry(registry), agent, error);
  if (!target) {
    std::fprintf(stderr, "tessik rename: %s\n", error.c_str());
    return 1;
  }
  RenameRequest request;
  request.request_id = random_hex_token();
  request.target = *target;
  request.requested_name = name;
  const RenameAgentWorkflowResult result =
      rename_agent_workflow(request, registry, default_lifecycle_logs());
  if (!result.ok()) {
    std::fprintf(stderr, "tessik rename: %s\n", result.error.c_str());
    return 1;
  }
  std::printf("renamed %s to %s%s\n", result.old_registry_name.c_str(), trim(name).c_str(),
              result.verified ? "" : " (unverified)");
  return 0;
}

}  // namespace tessik
