// Mode dispatch. Adding a mode is adding a row to kModes.
#include "app/commands.h"

#include <cstdio>
#include <string_view>

#include "app/cli/agents_command.h"
#include "app/api_service_handover.h"
#include "app/broker_command.h"
#include "app/cli/cli_output.h"
#include "app/cli/dashboard_command.h"
#include "app/delivery_worker_command.h"
#include "app/cli/mailbox_command.h"
#include "app/mcp_server_command.h"
#include "app/cli/push_command.h"
#include "app/remote_session_commands.h"
#include "app/rename_command.h"
#include "app/cli/send_command.h"
#include "app/cli/status_command.h"
#include "app/cli/tasks_command.h"
#include "broker/broker.h"

namespace tessik {
namespace {

using ModeFunction = int (*)(const std::vector<std::string>& args);

struct Mode {
  std::string_view name;
  std::string_view summary;
  ModeFunction run;
  bool own_help = false;  // the mode prints its detailed usage for --help itself
};

constexpr Mode kModes[] = {
    {"broker", "serve the session's broker socket (the default)", run_broker_command},
    {"status", "is the broker running, where state lives, counts; [--json] (exit 3: not running)",
     run_status_command, true},
    {"tasks",
     "list tasks [--state S --context C --agent A --page-size N --page-token T --json];"
     " show ID; cancel ID",
     run_tasks_command, true},
    {"agents",
     "list the agent registry [--json]; add --provider P --session S --name N [--alias A];"
     " remove ID; add-a2a --card-url URL [--name N] [--alias K=V]",
     run_agents_command, true},
    {"mailbox", "list messages stored in the built-in mailbox [--json]; --show ID_OR_PREFIX",
     run_mailbox_command, true},
    {"push", "list push configurations (secrets hidden) and deliveries; --json", run_push_command},
    {"api-service",
     "HTTP stand-in for the API service (runs tessik-api-service): [--listen HOST:PORT]"
     " [--session ID]",
     run_api_service_handover},
    {"dashboard", "print the dashboard's address and open it: [--url BASE] [--no-open]",
     run_dashboard_command},
    {"send",
     "send a message: --to TARGET --from SENDER [--from-node N] [--strict] [--method M]"
     " [--wait] [--json] TEXT",
     run_send_command, true},
    {"delivery-worker", "deliver one handed-off message: --request FILE [--validate-only]",
     run_delivery_worker_command},
    {"delivery-supervisor",
     "deliver one exact callback reply once: --request FILE --operation-id ID"
     " --dispatch-token T --callback-message-id ID",
     run_delivery_supervisor_command},
    {"mcp-server",
     "MCP server on stdio: [--host H] [--provider P] [--provider-session-id ID]"
     " [--sender-name N]",
     run_mcp_server_command},
    {"relay-session", "answer another node's relay session on stdio: --stdio",
     run_relay_session_command},
    {"rename", "rename an agent of this node: --agent NAME --name NEW", run_rename_command},
    {"a2a-relay-session", "answer one JSON-RPC request of another node on stdio: --stdio",
     run_a2a_relay_session_command},
};

void print_usage(std::FILE* to) {
  std::fputs("usage: tessik [mode] [options]   (no mode: the broker)\nmodes:\n", to);
  for (const Mode& mode : kModes) {
    std::fprintf(to, "  %-18.*s %.*s\n", static_cast<int>(mode.name.size()), mode.name.data(),
                 static_cast<int>(mode.summary.size()), mode.summary.data());
  }
  std::fputs("`tessik MODE --help` describes one mode; `tessik --version` prints the version.\n",
             to);
}

const Mode* find_mode(std::string_view name) {
  for (const Mode& mode : kModes) {
    if (name == mode.name) return &mode;
  }
  return nullptr;
}

// A mode without a detailed help of its own answers --help with its table row.
int print_mode_help(const Mode& mode) {
  std::printf("usage: tessik %.*s ...\n  %.*s\n", static_cast<int>(mode.name.size()),
              mode.name.data(), static_cast<int>(mode.summary.size()), mode.summary.data());
  return 0;
}

}  // namespace

int run_command(const std::vector<std::string>& args) {
  if (args.empty()) return run_user_broker();
  const std::string& first = args[0];
  if (first == "--version" || first == "version") {
    std::printf("tessik %s\n", TESSIK_VERSION);
    return 0;
  }
  if (first == "help" || asks_for_help({first})) {
    if (args.size() > 1) {
      if (const Mode* mode = find_mode(args[1])) return run_command({std::string(mode->name), "--help"});
    }
    print_usage(stdout);
    return 0;
  }
  const Mode* mode = find_mode(first);
  if (mode == nullptr) {
    // Other nodes run modes over SSH and read "unknown command" as "this node lacks the mode".
    std::fprintf(stderr, "tessik: unknown command '%s'\n", first.c_str());
    print_usage(stderr);
    return 2;
  }
  std::vector<std::string> rest(args.begin() + 1, args.end());
  if (asks_for_help(rest) && !mode->own_help) return print_mode_help(*mode);
  return mode->run(rest);
}

}  // namespace tessik
