// Mode dispatch. Adding a mode is adding a row to kModes.
#include "app/commands.h"

#include <cstdio>
#include <string_view>

#include "app/agents_command.h"
#include "app/api_service_command.h"
#include "app/broker_command.h"
#include "app/dashboard_command.h"
#include "app/delivery_worker_command.h"
#include "app/mailbox_command.h"
#include "app/mcp_server_command.h"
#include "app/push_command.h"
#include "app/remote_session_commands.h"
#include "app/rename_command.h"
#include "app/send_command.h"
#include "broker/broker.h"

namespace tessik {
namespace {

using ModeFunction = int (*)(const std::vector<std::string>& args);

struct Mode {
  std::string_view name;
  std::string_view summary;
  ModeFunction run;
};

constexpr Mode kModes[] = {
    {"broker", "serve the session's broker socket (the default)", run_broker_command},
    {"agents",
     "list the agent registry; add [--provider P --session S --name N], remove ID,"
     " add-a2a --card-url URL [--name N] [--alias K=V]",
     run_agents_command},
    {"mailbox", "list messages stored in the built-in mailbox; --json, --show MESSAGE_ID",
     run_mailbox_command},
    {"push", "list push configurations (secrets hidden) and deliveries; --json", run_push_command},
    {"api-service", "HTTP stand-in for the API service: [--listen HOST:PORT] [--session ID]",
     run_api_service_command},
    {"dashboard", "print the dashboard's address and open it: [--url BASE] [--no-open]",
     run_dashboard_command},
    {"send",
     "send a message: --to TARGET --from SENDER [--from-node N] [--strict] [--method M] TEXT",
     run_send_command},
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

void print_usage() {
  std::fputs("usage: tessik [mode] [options]\nmodes:\n", stderr);
  for (const Mode& mode : kModes) {
    std::fprintf(stderr, "  %-18.*s %.*s\n", static_cast<int>(mode.name.size()), mode.name.data(),
                 static_cast<int>(mode.summary.size()), mode.summary.data());
  }
}

}  // namespace

int run_command(const std::vector<std::string>& args) {
  if (args.empty()) return run_user_broker();
  for (const Mode& mode : kModes) {
    if (args[0] == mode.name) {
      return mode.run(std::vector<std::string>(args.begin() + 1, args.end()));
    }
  }
  std::fprintf(stderr, "tessik: unknown mode '%s'\n", args[0].c_str());
  print_usage();
  return 2;
}

}  // namespace tessik
