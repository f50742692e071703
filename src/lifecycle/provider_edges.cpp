// The three provider edges. Which provider may do what is decided here, in one place per
// operation; what a provider does is its adapter's business.
#include "lifecycle/provider_edges.h"

#include <algorithm>
#include <initializer_list>

#include "base/text.h"
#include "providers/provider_adapter.h"
#include "providers/provider_catalog.h"
#include "registry/normalization_contract.h"

namespace tessik {
namespace {

constexpr std::string_view kEdgePrefix = "tessik.provider-edge.v1:";

bool one_of(std::string_view key, std::initializer_list<std::string_view> keys) {
  return std::find(keys.begin(), keys.end(), key) != keys.end();
}

bool routes_delivery(std::string_view key) {
  return is_provider_factory(key) || key == "a2a" || key == "remote";
}

bool routes_rename(std::string_view key) {
  return one_of(key, {"codex", "codex_cli", "antigravity", "antigravity_cli", "vscode_native",
                      "vscode_copilot_backed", "cursor", "cursor_cli", "claude_code_cli",
                      "copilot_cli", "opencode_cli", "remote"});
}

CreateResult create_refusal(const CreateRequest& request, std::string method, std::string error) {
  CreateResult result;
  result.provider = request.provider;
  result.state = "failed";
  result.method = std::move(method);
  result.error = std::move(error);
  result.evidence = "provider create edge is not implemented in Tessik yet";
  result.correlation_state = "unsupported";
  result.requested_name = request.requested_name;
  return result;
}

RenameResult rename_refusal(const RenameRequest& request, std::string method, std::string error) {
  RenameResult result;
  result.provider = request.target.provider;
  result.state = "failed";
  result.method = std::move(method);
  result.error = std::move(error);
  result.requested_name = request.requested_name;
  result.evidence = "provider rename edge is not implemented in Tessik yet";
  return result;
}

DeliveryResult delivery_refusal(const DeliveryRequest& request, std::string method,
                                std::string error, std::string evidence) {
  DeliveryResult result;
  result.provider = request.target.provider;
  result.state = "failed";
  result.method = std::move(method);
  result.provider_session_id = request.target.provider_session_id;
  result.error = std::move(error);
  result.evidence = std::move(evidence);
  return result;
}

}  // namespace

CreateResult create_provider_session(const CreateRequest& request) {
  const std::string key = catalog_provider_key(request.provider);
  if (key == "tessik_mailbox") {
    return create_refusal(request, "tessik_mailbox_singleton",
                          "Tessik Mailbox is a built-in singleton endpoint and cannot be created");
  }
  if (key == "remote") {
    return create_refusal(request, "remote_provider_create_not_implemented",
                          "remote create requires an explicit remote node and remote provider "
                          "contract before it can be enabled");
  }
  const ProviderAdapter* adapter = is_provider_factory(key) ? find_provider_adapter(key) : nullptr;
  if (adapter == nullptr) {
    return create_refusal(request, "unknown_provider_create", "unknown provider '" + key + "'");
  }
  return adapter->create(request);
}

DeliveryResult deliver_to_provider(const DeliveryRequest& request) {
  if (catalog_provider_key(request.target.provider) == "tessik_mailbox") {
    return find_provider_adapter("tessik_mailbox")->deliver(request);
  }
  AgentRecord normalized = request.target;
  normalize_agent_record(normalized);
  const NormalizationCheck check = check_normalized_agent(normalized);
  if (!normalization_contract_holds(check)) {
    return delivery_refusal(request, "normalization_contract_rejected",
                            "target delivery binding is not valid for its normalized provider",
                            "normalization_issues=" + format_normalization_issues(check));
  }
  const std::string key = normalized.delivery_binding.starts_with(kEdgePrefix)
                              ? normalized.delivery_binding.substr(kEdgePrefix.size())
                              : request.target.provider;
  const ProviderAdapter* adapter = routes_delivery(key) ? find_provider_adapter(key) : nullptr;
  if (adapter == nullptr) {
    return delivery_refusal(request, "unknown_provider", "unknown provider '" + key + "'",
                            "registry target provider did not match any Tessik provider edge");
  }
  return adapter->deliver(request);
}

RenameResult rename_provider_session(const RenameRequest& request) {
  const std::string key = catalog_provider_key(request.target.provider);
  if (key == "tessik_mailbox") {
    return rename_refusal(request, "tessik_mailbox_reserved_name",
                          "Tessik Mailbox is a reserved built-in endpoint and cannot be renamed");
  }
  if (!routes_rename(key)) {
    return rename_refusal(request, "unknown_provider_rename", "unknown provider '" + key + "'");
  }
  // Desktop and command-line Codex share one thread store, so one adapter renames both.
  const ProviderAdapter* adapter = find_provider_adapter(key == "codex_cli" ? "codex" : key);
  return adapter->rename(request);
}

}  // namespace tessik
