// Gateway test fixture.
#include "support/gateway_fixture.h"

#include <fstream>

#include "a2a/gateway/gateway.h"
#include "registry/normalization.h"
#include "support/build_paths.h"
#include "registry/registry.h"
#include "state/evidence_log.h"
#include "state/state_dir.h"

namespace tessik::test {

AgentRecord make_agent(const std::string& agent_id, const std::string& provider,
                       const std::string& session, bool sendable) {
  AgentRecord agent;
  agent.agent_id = agent_id;
  agent.display_name = "Agent " + agent_id;
  agent.provider = provider;
  agent.provider_session_id = session;
  agent.node_id = "local";
  agent.enabled = true;
  agent.sendable = sendable;
  agent.source = "manual";
  normalize_agent_record(agent);
  return agent;
}

std::string rpc_body(std::string_view method, std::string_view params, std::string_view id) {
  return R"({"jsonrpc":"2.0","id":)" + std::string(id) + R"(,"method":")" + std::string(method) +
         R"(","params":)" + std::string(params) + "}";
}

std::string local_code_of(const nlohmann::json& error) {
  return error[error.contains("details") ? "details" : "data"][0]["metadata"]["localCode"];
}

GatewayFixture::GatewayFixture() {
  // Detection must not see tools installed on the machine running the tests.
  std::filesystem::create_directories(env.root() / "bin");
  env.set("PATH", (env.root() / "bin").string());
  env.set("HOME", (env.root() / "home").string());
  env.unset("NPM_CONFIG_PREFIX");
  env.unset("npm_config_prefix");
  // Children of "this executable" (delivery workers) must be tessik, never the test binary.
  env.set("TESSIK_EXE", TESSIK_BINARY);
  context.require_auth = true;
  context.local_bearer_token = token;
  context.endpoint_url = "http://127.0.0.1:37661/a2a";
}

void GatewayFixture::write_registry(const std::vector<AgentRecord>& agents) {
  const std::filesystem::path path = agents_registry_path();
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << render_registry(agents);
}

GatewayRequest GatewayFixture::request(const std::string& method, const std::string& target,
                                       std::map<std::string, std::string> headers,
                                       const std::string& body) const {
  GatewayRequest request;
  request.method = method;
  request.target = target;
  request.headers = std::move(headers);
  request.body = body;
  request.endpoint_url = context.endpoint_url;
  return request;
}

GatewayRequest GatewayFixture::authorized(const std::string& method, const std::string& target,
                                          std::map<std::string, std::string> headers,
                                          const std::string& body) const {
  headers["Authorization"] = "Bearer " + token;
  return request(method, target, std::move(headers), body);
}

GatewayResponse GatewayFixture::call(const GatewayRequest& request, std::stop_token stop) {
  Registry registry(agents_registry_path());
  const EvidenceLog evidence(events_log_path());
  return handle_a2a_request(request, context.principal, context, registry, evidence, stop);
}

}  // namespace tessik::test
