// Calling the gateway handler directly: a temporary state directory with a registry, a
// context with a local token, and a request builder.
#pragma once

#include <map>
#include <nlohmann/json.hpp>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "a2a/gateway/gateway_context.h"
#include "registry/agent_record.h"
#include "support/temp_env.h"
#include "wire/envelope.h"

namespace tessik::test {

// A normalized, deliverable, export-eligible agent of `provider` with session `session`.
AgentRecord make_agent(const std::string& agent_id, const std::string& provider,
                       const std::string& session, bool sendable = true);

// The text of a JSON-RPC 2.0 request; `id` is raw JSON.
std::string rpc_body(std::string_view method, std::string_view params = "{}",
                     std::string_view id = "1");

// The local code of an error object of either binding ("details" over HTTP+JSON, "data" on
// JSON-RPC).
std::string local_code_of(const nlohmann::json& error);

class GatewayFixture {
 public:
  GatewayFixture();

  // Writes <state>/registry/agents.tsv with `agents` (the mailbox row is added on read).
  void write_registry(const std::vector<AgentRecord>& agents);

  GatewayRequest request(const std::string& method, const std::string& target,
                         std::map<std::string, std::string> headers = {},
                         const std::string& body = "") const;
  // The same with "Authorization: Bearer <the local token>".
  GatewayRequest authorized(const std::string& method, const std::string& target,
                            std::map<std::string, std::string> headers = {},
                            const std::string& body = "") const;

  GatewayResponse call(const GatewayRequest& request, std::stop_token stop = {});

  TempEnv env;
  GatewayContext context;  // requireAuth on, local token "local-secret"
  std::string token = "local-secret";
};

}  // namespace tessik::test
