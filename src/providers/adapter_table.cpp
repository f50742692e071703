// The adapter table. Adapters that this build does not carry yet are registered as objects
// that fail at once with a method naming the missing adapter, so every provider key reaches
// a real answer and a later adapter replaces exactly one row.
#include <exception>
#include <memory>
#include <utility>
#include <vector>

#include "base/text.h"
#include "providers/claude_code_cli/claude_code_cli_adapter.h"
#include "providers/codex/codex_desktop_adapter.h"
#include "providers/cursor/cursor_bridge_adapter.h"
#include "providers/external_a2a/external_send.h"
#include "providers/mailbox/mailbox_adapter.h"
#include "providers/provider_adapter.h"
#include "providers/provider_catalog.h"
#include "providers/remote/remote_delivery.h"
#include "registry/registry.h"

namespace tessik {
namespace {

std::string transport_of(std::string_view key) {
  const ProviderCatalogEntry* entry = find_provider_catalog_entry(key);
  if (entry == nullptr || entry->transports.empty()) return "a2a_http_json";
  return entry->transports.front();
}

// An adapter whose assistant integration is not part of this build.
class UnavailableAdapter : public ProviderAdapter {
 public:
  UnavailableAdapter(std::string key, std::string label, std::string product)
      : key_(std::move(key)), label_(std::move(label)), product_(std::move(product)) {}

  DeliveryResult deliver(const DeliveryRequest& request) const override {
    DeliveryResult result;
    result.provider = request.target.provider;
    result.state = "failed";
    result.method = label_ + "_adapter_not_available";
    result.provider_session_id = request.target.provider_session_id;
    result.evidence = evidence();
    result.error = product_ + " delivery is not available in this build of Tessik";
    return result;
  }

  CreateResult create(const CreateRequest& request) const override {
    CreateResult result;
    result.provider = request.provider;
    result.state = "failed";
    result.method = label_ + "_create_adapter_not_available";
    result.evidence = evidence();
    result.error = product_ + " session creation is not available in this build of Tessik";
    result.requested_name = trim(request.requested_name);
    result.correlation_state = "unsupported";
    return result;
  }

  RenameResult rename(const RenameRequest& request) const override {
    RenameResult result;
    result.provider = request.target.provider;
    result.state = "failed";
    result.method = label_ + "_rename_adapter_not_available";
    result.requested_name = trim(request.requested_name);
    result.evidence = evidence();
    result.error = product_ + " rename is not available in this build of Tessik";
    return result;
  }

 protected:
  std::string evidence() const {
    return "provider_edge=" + key_ + " transport=" + transport_of(key_) + " adapter=unavailable";
  }

 private:
  std::string key_;
  std::string label_;
  std::string product_;
};

// Codex desktop delivers through its IPC pipe and never creates sessions: its only create
// path was not a reliable transport.
class CodexAdapter : public UnavailableAdapter {
 public:
  CodexAdapter() : UnavailableAdapter("codex", "codex_desktop", "Codex desktop") {}

  DeliveryResult deliver(const DeliveryRequest& request) const override {
    return deliver_to_codex_desktop(request);
  }

  CreateResult create(const CreateRequest& request) const override {
    CreateResult result;
    result.provider = request.provider;
    result.state = "failed";
    result.method = "codex_desktop_create_not_supported";
    result.error =
        "Codex desktop create is disabled because the previous app-server spawn path is not a "
        "reliable desktop create transport";
    result.evidence =
        "existing Codex desktop delivery uses Codex Desktop IPC; standalone Codex CLI create "
        "remains available through provider=codex_cli";
    result.correlation_state = "desktop_create_not_available";
    result.requested_name = trim(request.requested_name);
    return result;
  }
};

// Cursor's agent window is reached through the bridge extension's command files; creating and
// renaming composers through it is not part of this build.
class CursorAdapter : public UnavailableAdapter {
 public:
  CursorAdapter() : UnavailableAdapter("cursor", "cursor_bridge", "Cursor bridge") {}

  DeliveryResult deliver(const DeliveryRequest& request) const override {
    return deliver_to_cursor_bridge(request);
  }
};

// Command-line assistants whose rename contract has not been proven answer with why.
class UnprovenRenameAdapter : public UnavailableAdapter {
 public:
  UnprovenRenameAdapter(std::string key, std::string label, std::string product, std::string method,
                        std::string evidence)
      : UnavailableAdapter(std::move(key), std::move(label), std::move(product)),
        method_(std::move(method)),
        evidence_(std::move(evidence)) {}

  RenameResult rename(const RenameRequest& request) const override {
    RenameResult result;
    result.provider = request.target.provider;
    result.state = "failed";
    result.method = method_;
    result.requested_name = trim(request.requested_name);
    result.error =
        "provider '" + request.target.provider + "' rename is not implemented in Tessik yet";
    result.evidence = evidence_;
    return result;
  }

 private:
  std::string method_;
  std::string evidence_;
};

// The mailbox stores deliveries; it is a singleton with a reserved name, so the dispatchers
// refuse creating and renaming it before they would reach these answers.
class MailboxAdapter : public UnavailableAdapter {
 public:
  MailboxAdapter() : UnavailableAdapter("tessik_mailbox", "tessik_mailbox", "Tessik Mailbox") {}
  DeliveryResult deliver(const DeliveryRequest& request) const override {
    return deliver_to_mailbox(request);
  }
};

// Agents on other nodes: delivered and renamed over the node's transports; the dispatcher
// refuses creating them before this adapter is reached.
class RemoteAdapter : public UnavailableAdapter {
 public:
  RemoteAdapter() : UnavailableAdapter("remote", "remote_node", "Remote node") {}
  DeliveryResult deliver(const DeliveryRequest& request) const override {
    return deliver_to_remote_node(request);
  }
  RenameResult rename(const RenameRequest& request) const override {
    return rename_remote_agent(request);
  }
};

// External A2A agents receive messages over HTTP; they are registered from their Agent Card,
// not created or renamed through Tessik. The request file carries no aliases, so the agent's
// options are read from its registry row at send time (which also picks up a changed
// credential variable name).
class ExternalA2aAdapter : public UnavailableAdapter {
 public:
  ExternalA2aAdapter() : UnavailableAdapter("a2a", "external_a2a", "External A2A agent") {}
  DeliveryResult deliver(const DeliveryRequest& request) const override {
    DeliveryRequest with_options = request;
    if (with_options.target.aliases.empty()) {
      try {
        for (AgentRecord& row : load_registry(default_registry())) {
          if (row.agent_id == request.target.agent_id) with_options.target.aliases = row.aliases;
        }
      } catch (const std::exception& failure) {
        DeliveryResult result = UnavailableAdapter::deliver(request);
        result.method = "a2a_registry_options_unavailable";
        result.error = failure.what();
        return result;
      }
    }
    return send_external_message(with_options);
  }
};

using AdapterTable = std::vector<std::pair<std::string, std::unique_ptr<ProviderAdapter>>>;

AdapterTable build_table() {
  AdapterTable table;
  const auto add = [&](std::string key, std::unique_ptr<ProviderAdapter> adapter) {
    table.emplace_back(std::move(key), std::move(adapter));
  };
  const auto unavailable = [](const char* key, const char* label, const char* product) {
    return std::make_unique<UnavailableAdapter>(key, label, product);
  };
  add("tessik_mailbox", std::make_unique<MailboxAdapter>());
  add("vscode_native", unavailable("vscode_native", "vscode_native", "VS Code native chat"));
  add("vscode_copilot_backed",
      unavailable("vscode_copilot_backed", "vscode_copilot", "VS Code Copilot chat"));
  add("codex", std::make_unique<CodexAdapter>());
  add("codex_cli", unavailable("codex_cli", "codex_cli", "Codex CLI"));
  add("antigravity", unavailable("antigravity", "antigravity", "Antigravity"));
  add("antigravity_cli", unavailable("antigravity_cli", "antigravity_cli", "Antigravity CLI"));
  add("cursor", std::make_unique<CursorAdapter>());
  add("cursor_cli", std::make_unique<UnprovenRenameAdapter>(
                        "cursor_cli", "cursor_agent_cli", "Cursor Agent CLI",
                        "cursor_agent_cli_rename_not_implemented",
                        "Cursor Agent CLI direct rename contract has not been proven; Tessik "
                        "stores display names for created cursor_cli sessions"));
  add("claude_code_cli", make_claude_code_cli_adapter());
  add("copilot_cli",
      std::make_unique<UnprovenRenameAdapter>(
          "copilot_cli", "copilot_cli", "Copilot CLI", "copilot_cli_rename_not_implemented",
          "Copilot CLI direct rename contract has not been proven; create "
          "already supports explicit --name"));
  add("opencode_cli", unavailable("opencode_cli", "opencode_cli", "OpenCode CLI"));
  add("remote", std::make_unique<RemoteAdapter>());
  add("a2a", std::make_unique<ExternalA2aAdapter>());
  return table;
}

}  // namespace

const ProviderAdapter* find_provider_adapter(std::string_view key) {
  static const AdapterTable table = build_table();
  for (const auto& [row_key, adapter] : table) {
    if (row_key == key) return adapter.get();
  }
  return nullptr;
}

}  // namespace tessik
