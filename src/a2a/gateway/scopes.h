// What an authenticated caller may do: scope tests, the refusal message of each operation,
// the ownership rule for tasks and push configurations, and the sender identity of a send.
#pragma once

#include <string>
#include <string_view>

#include "a2a/gateway/gateway_context.h"
#include "wire/envelope.h"

namespace tessik {

// The principal is authenticated and one granted scope (trimmed, ASCII case ignored) equals
// `scope`, "admin" or "*".
bool principal_has_scope(const Principal& principal, std::string_view scope);
// "task.push" or "task.admin".
bool has_push_scope(const Principal& principal);
// Auth is enforced and the principal lacks `scope`.
bool scope_denied(const Principal& principal, std::string_view scope,
                  const GatewayContext& context);
// The same for the push scopes.
bool push_scope_denied(const Principal& principal, const GatewayContext& context);

// Refusal messages of the scope checks, one per operation group.
namespace scope_message {
inline constexpr std::string_view kDiscoverProviders =
    "A2A token is not allowed to discover provider factories.";
inline constexpr std::string_view kDiscoverAgents = "A2A token is not allowed to discover agents.";
inline constexpr std::string_view kReadAgentCards = "A2A token is not allowed to read agent cards.";
inline constexpr std::string_view kSendMessages = "A2A token is not allowed to send messages.";
inline constexpr std::string_view kCreateAgents = "A2A token is not allowed to create agents.";
inline constexpr std::string_view kConfigurePush =
    "A2A token is not allowed to configure task push notifications.";
inline constexpr std::string_view kReadTasks = "A2A token is not allowed to read tasks.";
inline constexpr std::string_view kCancelTasks = "A2A token is not allowed to cancel tasks.";
inline constexpr std::string_view kManagePushConfigs =
    "A2A token is not allowed to manage task push notification configs.";
}  // namespace scope_message

// The owner fields a task or push configuration carries.
struct RecordOwner {
  std::string client_id;
  std::string agent;
  std::string node;
};

// Anonymous callers and task.admin holders own everything; otherwise a record with an owner
// client id belongs to that client, else to the matching agent on the matching node.
bool caller_owns_record(const RecordOwner& owner, const Principal& principal);

// The sender identity a send takes from its caller. The send request record of message
// intake embeds this struct; apply_principal_to_send fills it.
struct SendSenderIdentity {
  std::string requester_client_id;
  std::string requester_agent;
  std::string requester_node;
  std::string sender_resolution;        // e.g. "a2a_registry_principal"
  bool principal_bound_sender = false;  // the identity came from the principal
};

// Authenticated: the principal's client id, agent and node, and "a2a_<type>_principal"
// ("a2a_bearer_principal" for a blank type). Anonymous with auth off: blanks become
// "anonymous-a2a-client" / "local", resolution "a2a_no_auth_anonymous". Anonymous with auth
// on: nothing changes.
void apply_principal_to_send(SendSenderIdentity& send, const GatewayContext& context,
                             const Principal& principal);

}  // namespace tessik
