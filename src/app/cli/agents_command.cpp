// `tessik agents`: a small registry CLI for people and scripts. Every change goes through
// the registry transaction, so it is safe beside a running broker and other writers.
#include "app/cli/agents_command.h"

#include <cstdio>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>

#include "a2a/cards/provider_factories.h"
#include "app/cli/cli_output.h"
#include "base/random.h"
#include "base/text.h"
#include "providers/external_a2a/agent_card.h"
#include "providers/provider_adapter.h"
#include "providers/provider_catalog.h"
#include "registry/normalization.h"
#include "registry/registry.h"

namespace tessik {
namespace {

constexpr std::int64_t kCommandTimeoutNs = 30'000'000'000;

constexpr const char* kUsage =
    "usage: tessik agents [--json]\n"
    "       tessik agents add --provider P --session S --name N [--node N] [--alias A]...\n"
    "       tessik agents remove AGENT_ID\n"
    "       tessik agents add-a2a --card-url URL [--name N] [--alias K=V]...\n"
    "  lists the registry (the PUBLIC ID column is what A2A clients and `send --to` use);\n"
    "  add registers or updates a session by hand; remove deletes a row;\n"
    "  add-a2a registers an external A2A agent from its Agent Card\n";

struct AddRequest {
  std::string provider;
  std::string session;
  std::string name;
  std::string node = "local";
  std::vector<std::string> aliases;
};

std::string take_value(const std::vector<std::string>& args, std::size_t& i) {
  if (i + 1 >= args.size()) throw CliUsageError("option " + args[i] + " needs a value");
  std::string value = trim(args[++i]);
  if (value.empty()) throw CliUsageError("option " + args[i - 1] + " needs a non-blank value");
  return value;
}

AddRequest parse_add(const std::vector<std::string>& args) {
  AddRequest request;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& option = args[i];
    if (option == "--provider") {
      request.provider = take_value(args, i);
    } else if (option == "--session") {
      request.session = take_value(args, i);
    } else if (option == "--name") {
      request.name = take_value(args, i);
    } else if (option == "--node") {
      request.node = take_value(args, i);
    } else if (option == "--alias") {
      request.aliases.push_back(take_value(args, i));
    } else {
      throw CliUsageError("unknown option for agents add: " + option);
    }
  }
  if (request.provider.empty()) throw CliUsageError("agents add needs --provider");
  if (request.session.empty()) throw CliUsageError("agents add needs --session");
  if (request.name.empty()) throw CliUsageError("agents add needs --name");
  // External A2A agents have an adapter but no catalog entry: no session of theirs is
  // created or discovered here.
  if (find_provider_catalog_entry(request.provider) == nullptr &&
      find_provider_adapter(trim(request.provider)) == nullptr) {
    std::string known;
    for (const ProviderCatalogEntry& entry : provider_catalog())
      known += (known.empty() ? "" : ", ") + entry.key;
    known += ", a2a";
    throw CliUsageError("unknown provider '" + request.provider + "'; known providers: " + known);
  }
  for (const std::string* text :
       {&request.provider, &request.session, &request.name, &request.node}) {
    if (!is_valid_utf8(*text) || text->find_first_of("\t\n\r") != std::string::npos) {
      throw CliUsageError("agents add values must be UTF-8 text without tabs or line breaks");
    }
  }
  for (const std::string& alias : request.aliases) {
    if (alias.find_first_of("|\t\n\r") != std::string::npos || !is_valid_utf8(alias)) {
      throw CliUsageError("an alias must be UTF-8 text without '|', tabs or line breaks");
    }
  }
  return request;
}

bool same_session(const AgentRecord& row, const AddRequest& request, const std::string& provider) {
  return row.provider == provider && trim(row.provider_session_id) == request.session &&
         ascii_lower(trim(row.node_id)) == ascii_lower(request.node);
}

// Fills in the fields a manual entry owns; a person vouches for the binding.
void apply_manual(AgentRecord& row, const AddRequest& request, const std::string& now) {
  row.display_name = request.name;
  if (!request.aliases.empty()) row.aliases = request.aliases;
  row.enabled = true;
  row.sendable = true;
  row.source = "manual";
  row.delivery_verification_source = "manual";
  row.normalization_provenance.clear();
  row.normalization_confidence = 0;
  row.last_error.clear();
  row.last_seen_at = now;
  row.last_verified_at = now;
  if (row.first_seen_at.empty()) row.first_seen_at = now;
}

RegistryMutationOptions command_options() {
  return RegistryMutationOptions{RegistryDeadline::after(kCommandTimeoutNs), std::nullopt};
}

int report_failure(const RegistryMutationResult& result) {
  print_mode_error("agents", registry_error("registry update", result.status, result.error).what());
  return 1;
}

int run_add(const std::vector<std::string>& args) {
  const AddRequest request = parse_add(args);
  const std::string provider = canonical_provider_key(request.provider);
  const std::string now = utc_timestamp_now();
  std::string agent_id;
  bool added = false;
  const RegistryMutationResult result = mutate_registry(
      default_registry().path(),
      [&](std::vector<AgentRecord>& rows, const RegistrySnapshotMetadata&) {
        for (AgentRecord& row : rows) {
          if (!same_session(row, request, provider)) continue;
          apply_manual(row, request, now);
          agent_id = row.agent_id;
          return true;
        }
        AgentRecord row;
        row.agent_id = "manual-" + random_hex_token().substr(0, 16);
        row.provider = provider;
        row.provider_session_id = request.session;
        row.node_id = request.node;
        row.normalization_schema = kNormalizedAgentSchema;
        apply_manual(row, request, now);
        agent_id = row.agent_id;
        added = true;
        rows.push_back(std::move(row));
        return true;
      },
      command_options());
  if (result.status != RegistryStatus::committed && result.status != RegistryStatus::unchanged) {
    return report_failure(result);
  }
  std::printf("%s %s\n", added ? "added" : "updated", agent_id.c_str());
  return 0;
}

int run_remove(const std::vector<std::string>& args) {
  if (args.size() != 2) throw CliUsageError("agents remove needs exactly one AGENT_ID");
  const std::string agent_id = trim(args[1]);
  if (agent_id.empty()) throw CliUsageError("agents remove needs a non-blank AGENT_ID");
  if (agent_id == kMailboxAgentId) {
    print_mode_error("agents", "the built-in mailbox cannot be removed");
    return 1;
  }
  bool found = false;
  const RegistryMutationResult result = mutate_registry(
      default_registry().path(),
      [&](std::vector<AgentRecord>& rows, const RegistrySnapshotMetadata&) {
        found = std::erase_if(rows, [&](const AgentRecord& r) { return r.agent_id == agent_id; });
        return found;
      },
      command_options());
  if (result.status != RegistryStatus::committed && result.status != RegistryStatus::unchanged) {
    return report_failure(result);
  }
  if (!found) {
    print_mode_error("agents", "no agent with id " + agent_id);
    return 1;
  }
  std::printf("removed %s\n", agent_id.c_str());
  return 0;
}

int run_list(const std::vector<std::string>& args) {
  bool json = false;
  for (const std::string& arg : args) {
    if (arg != "--json") throw CliUsageError("unknown argument: " + arg);
    json = true;
  }
  const std::vector<AgentRecord> rows = load_registry(default_registry());
  if (json) {
    nlohmann::json list = nlohmann::json::array();
    for (const AgentRecord& row : rows) {
      list.push_back({{"agent_id", row.agent_id},
                      {"display_name", row.display_name},
                      {"aliases", row.aliases},
                      {"provider", row.provider},
                      // The words the A2A listing and cards show for this provider.
                      {"provider_brand", provider_brand(row.provider)},
                      {"provider_surface", provider_surface(row.provider)},
                      {"provider_session_id", row.provider_session_id},
                      {"node_id", row.node_id},
                      {"enabled", row.enabled},
                      {"sendable", is_agent_deliverable(row)},
                      {"source", row.source},
                      {"public_agent_id", row.public_agent_id}});
    }
    std::printf("%s\n", list.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    return 0;
  }
  CliTable table{{"ID", "NAME", "PROVIDER", "SESSION", "NODE", "SENDABLE", "PUBLIC ID", "KIND"},
                 {}};
  for (const AgentRecord& row : rows) {
    table.rows.push_back({row.agent_id, row.display_name, row.provider, row.provider_session_id,
                          row.node_id, is_agent_deliverable(row) ? "true" : "false",
                          row.public_agent_id,
                          provider_brand(row.provider) + "/" + provider_surface(row.provider)});
  }
  return print_listing(table, "tessik agents: no agents registered");
}

// Registers an external A2A agent from its card: the card must validate and name a usable
// security requirement; its facts become the row's options, after which the caller's own
// aliases (credential variable names, tenant) follow.
int run_add_external(const std::vector<std::string>& args) {
  std::string card_url;
  std::string name;
  std::vector<std::string> add_args{"add", "--provider", "a2a"};
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& option = args[i];
    if (option == "--card-url") {
      card_url = take_value(args, i);
    } else if (option == "--name") {
      name = take_value(args, i);
    } else if (option == "--alias") {
      add_args.insert(add_args.end(), {"--alias", take_value(args, i)});
    } else {
      throw CliUsageError("unknown option for agents add-a2a: " + option);
    }
  }
  if (card_url.empty()) throw CliUsageError("agents add-a2a needs --card-url");
  const AgentCardFetch fetch = fetch_agent_card(card_url, {});
  std::string problem = fetch.card.error;
  if (problem.empty()) problem = fetch.card.requirement_error;
  if (!problem.empty()) {
    std::fprintf(stderr, "tessik agents: %s\n", problem.c_str());
    return 1;
  }
  for (const std::string& option : agent_card_options(fetch)) {
    add_args.insert(add_args.end(), {"--alias", option});
  }
  add_args.insert(add_args.end(), {"--session", fetch.card.chosen_interface.url, "--name",
                                   name.empty() ? fetch.card.name : name});
  return run_add(add_args);
}

}  // namespace

int run_agents_command(const std::vector<std::string>& args) {
  return run_cli_mode("agents", kUsage, args, [&] {
    if (!args.empty() && args[0] == "add") return run_add(args);
    if (!args.empty() && args[0] == "add-a2a") return run_add_external(args);
    if (!args.empty() && args[0] == "remove") return run_remove(args);
    return run_list(args);
  });
}

}  // namespace tessik
