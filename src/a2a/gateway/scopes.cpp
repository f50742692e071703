// Scope tests, ownership and the principal-bound sender identity.
#include "a2a/gateway/scopes.h"

#include "base/text.h"

namespace tessik {

bool principal_has_scope(const Principal& principal, std::string_view scope) {
  if (!principal.authenticated) return false;
  const std::string wanted = ascii_lower(trim(scope));
  for (const std::string& granted : principal.scopes) {
    const std::string held = ascii_lower(trim(granted));
    if (held == wanted || held == "admin" || held == "*") return true;
  }
  return false;
}

bool has_push_scope(const Principal& principal) {
  return principal_has_scope(principal, "task.push") ||
         principal_has_scope(principal, "task.admin");
}

bool scope_denied(const Principal& principal, std::string_view scope,
                  const GatewayContext& context) {
  return context.require_auth && !principal_has_scope(principal, scope);
}

bool push_scope_denied(const Principal& principal, const GatewayContext& context) {
  return context.require_auth && !has_push_scope(principal);
}

bool caller_owns_record(const RecordOwner& owner, const Principal& principal) {
  if (!principal.authenticated) return true;
  if (principal_has_scope(principal, "task.admin")) return true;
  if (!trim(owner.client_id).empty()) return owner.client_id == principal.client_id;
  std::string node = trim(principal.sender_node);
  if (node.empty()) node = "local";
  return owner.agent == trim(principal.sender_agent) && owner.node == node;
}

void apply_principal_to_send(SendSenderIdentity& send, const GatewayContext& context,
                             const Principal& principal) {
  if (principal.authenticated) {
    send.requester_client_id = principal.client_id;
    send.requester_agent = principal.sender_agent;
    send.requester_node = principal.sender_node;
    const std::string type = trim(principal.principal_type);
    send.sender_resolution = type.empty() ? "a2a_bearer_principal" : "a2a_" + type + "_principal";
    send.principal_bound_sender = true;
    return;
  }
  if (context.require_auth) return;
  if (send.requester_client_id.empty()) send.requester_client_id = "anonymous-a2a-client";
  if (send.requester_agent.empty()) send.requester_agent = "anonymous-a2a-client";
  if (send.requester_node.empty()) send.requester_node = "local";
  send.sender_resolution = "a2a_no_auth_anonymous";
  send.principal_bound_sender = true;
}

}  // namespace tessik
