// The order of the gateway's gates and where each kind of request ends up.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <stdexcept>

#include "a2a/gateway/responses.h"
#include "a2a/jsonrpc/json_raw.h"
#include "registry/normalization.h"
#include "support/gateway_fixture.h"

namespace tessik {
namespace {

using nlohmann::json;

std::string local_code_of(const GatewayResponse& response) {
  return test::local_code_of(json::parse(response.body)["error"]);
}

std::string message_of(const GatewayResponse& response) {
  return json::parse(response.body)["error"]["message"];
}

class GatewayRouting : public ::testing::Test {
 protected:
  GatewayRouting() {
    AgentRecord mailbox = builtin_mailbox_record();
    normalize_agent_record(mailbox);
    mailbox_id_ = mailbox.public_agent_id;
    hidden_ = test::make_agent("hidden", "claude_code_cli", "s-hidden", false);
    f_.write_registry({test::make_agent("claude-1", "claude_code_cli", "s-1"), hidden_});
  }

  test::GatewayFixture f_;
  std::string mailbox_id_;
  AgentRecord hidden_;
};

TEST_F(GatewayRouting, StoppingAnswers503BeforeAnythingElse) {
  std::stop_source source;
  source.request_stop();
  const GatewayResponse response =
      f_.call(f_.request("GET", "/a2a/.well-known/agent-card.json"), source.get_token());
  EXPECT_EQ(response.status, 503);
  EXPECT_EQ(local_code_of(response), "TESSIK_A2A_SERVER_STOPPING");
}

TEST_F(GatewayRouting, VersionGateAppliesToTheCardAndToJsonRpc) {
  GatewayResponse response =
      f_.call(f_.request("GET", "/a2a/.well-known/agent-card.json", {{"A2A-Version", "2.0"}}));
  EXPECT_EQ(response.status, 400);
  EXPECT_EQ(local_code_of(response), "VersionNotSupportedError");
  EXPECT_EQ(message_of(response), "A2A protocol version is not supported by this interface: 2.0");
  EXPECT_EQ(
      f_.call(f_.request("GET", "/.well-known/agent-card.json", {{"A2A-Version", "1"}})).status,
      400);
  // On a JSON-RPC endpoint the refusal is a JSON-RPC error echoing the id, before auth.
  response = f_.call(f_.request("POST", "/a2a/rpc?A2A-Version=3.0", {},
                                R"({"jsonrpc":"2.0","id":7,"method":"GetTask"})"));
  EXPECT_EQ(response.status, 200);
  const json body = json::parse(response.body);
  EXPECT_EQ(body["id"], 7);
  EXPECT_EQ(body["error"]["code"], -32009);
}

TEST_F(GatewayRouting, PublicCardNeedsNoTokenAndRevalidatesWithItsEtag) {
  const GatewayResponse first = f_.call(f_.request("GET", "/a2a/.well-known/agent.json"));
  ASSERT_EQ(first.status, 200);
  EXPECT_EQ(first.content_type, "application/json");
  EXPECT_EQ(first.headers.at("Cache-Control"), "public, max-age=300");
  EXPECT_EQ(first.headers.at("ETag"), card_etag(first.body));
  EXPECT_EQ(json::parse(first.body)["name"], "Tessik Local A2A Gateway");
  const GatewayResponse again =
      f_.call(f_.request("GET", "/a2a/agent-card", {{"If-None-Match", first.headers.at("ETag")}}));
  EXPECT_EQ(again.status, 304);
  EXPECT_TRUE(again.body.empty());
  EXPECT_EQ(again.headers.at("ETag"), first.headers.at("ETag"));
  EXPECT_EQ(f_.call(f_.request("GET", "/agent-card", {{"if-none-match", " * "}})).status, 304);
  EXPECT_EQ(f_.call(f_.request("GET", "/agent-card", {{"If-None-Match", "\"other\""}})).status,
            200);
}

TEST_F(GatewayRouting, ContentTypeGateDependsOnTheBinding) {
  GatewayResponse response = f_.call(f_.request(
      "POST", "/a2a/rpc", {{"Content-Type", "text/plain"}}, R"({"jsonrpc":"2.0","id":"x"})"));
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(json::parse(response.body)["error"]["code"], -32005);
  EXPECT_EQ(json::parse(response.body)["id"], "x");
  response =
      f_.call(f_.request("POST", "/a2a/message:send", {{"Content-Type", "text/plain"}}, "{}"));
  EXPECT_EQ(response.status, 415);
  EXPECT_EQ(local_code_of(response), "ContentTypeNotSupportedError");
  EXPECT_EQ(message_of(response), "Content type is not supported.");
}

TEST_F(GatewayRouting, BodyGatesComeBeforeAuthentication) {
  GatewayResponse response = f_.call(f_.request("POST", "/a2a/", {}, "{not json"));
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body,
            R"({"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"Invalid JSON payload",)"
            R"("data":[{"@type":"type.googleapis.com/google.rpc.ErrorInfo","reason":)"
            R"("TESSIK_A2A_JSON_PARSE_ERROR","domain":"a2a-protocol.org","metadata":)"
            R"({"localCode":"TESSIK_A2A_JSON_PARSE_ERROR"}}]}})");
  for (const char* target :
       {"/a2a/message:send", "/a2a/message:stream", "/a2a/tasks/t1/pushNotificationConfigs",
        "/a2a/tasks/t1/pushNotificationConfigs/c1"}) {
    for (const char* body : {"", "[]", "\"s\"", "{"}) {
      response = f_.call(f_.request("POST", target, {}, body));
      EXPECT_EQ(response.status, 400) << target << " " << body;
      EXPECT_EQ(message_of(response), "Request body must be a valid JSON object.");
    }
  }
  EXPECT_EQ(f_.call(f_.request("POST", "/a2a/tasks/t1:cancel", {}, "x")).status, 400);
  // A blank cancel body passes the gate and meets authentication next.
  EXPECT_EQ(f_.call(f_.request("POST", "/a2a/tasks/t1:cancel", {}, "  ")).status, 401);
}

TEST_F(GatewayRouting, AuthenticationGuardsEverythingPastTheGatewayCard) {
  for (const char* target : {"/a2a/agents", "/a2a/providers", "/a2a/nowhere",
                             "/a2a/agents/x/agent-card", "/a2a/extendedAgentCard"}) {
    const GatewayResponse response = f_.call(f_.request("GET", target));
    EXPECT_EQ(response.status, 401) << target;
    EXPECT_EQ(response.headers.at("WWW-Authenticate"), "Bearer");
  }
}

TEST_F(GatewayRouting, ListingsWithTheirScopes) {
  GatewayResponse response = f_.call(f_.authorized("GET", "/a2a/agents"));
  ASSERT_EQ(response.status, 200);
  EXPECT_EQ(response.content_type, "application/a2a+json");
  const json agents = json::parse(response.body);
  EXPECT_EQ(agents["count"], 2);  // claude-1 and the mailbox; "hidden" is not export-eligible
  bool mailbox_listed = false;
  for (const json& entry : agents["agents"])
    mailbox_listed |= entry["id"] == mailbox_id_;
  EXPECT_TRUE(mailbox_listed);
  response = f_.call(f_.authorized("GET", "/a2a/v1/providers"));
  ASSERT_EQ(response.status, 200);
  EXPECT_EQ(json::parse(response.body)["count"], 11);

  f_.context.principal.scopes = {"task.read"};  // the local token now carries only this
  response = f_.call(f_.authorized("GET", "/a2a/agents"));
  EXPECT_EQ(response.status, 403);
  EXPECT_EQ(message_of(response), "A2A token is not allowed to discover agents.");
  response = f_.call(f_.authorized("GET", "/a2a/providers"));
  EXPECT_EQ(message_of(response), "A2A token is not allowed to discover provider factories.");
  response = f_.call(f_.authorized("GET", "/a2a/extendedAgentCard"));
  EXPECT_EQ(message_of(response), "A2A token is not allowed to read agent cards.");
}

TEST_F(GatewayRouting, AgentScopedCardsAndUnknownIds) {
  GatewayResponse response =
      f_.call(f_.authorized("GET", "/a2a/agents/" + mailbox_id_ + "/.well-known/agent-card.json"));
  ASSERT_EQ(response.status, 200);
  EXPECT_TRUE(response.headers.count("ETag"));
  const json card = json::parse(response.body);
  EXPECT_EQ(card["name"], "Tessik Mailbox");
  EXPECT_EQ(card["url"], "http://127.0.0.1:37661/a2a/agents/" + mailbox_id_ + "/a2a");

  response = f_.call(f_.authorized("GET", "/a2a/agents/tessik-agent-unknown/agent-card"));
  EXPECT_EQ(response.status, 404);
  EXPECT_EQ(local_code_of(response), "TESSIK_A2A_AGENT_NOT_FOUND");
  // Ids are compared exactly.
  std::string upper = mailbox_id_;
  upper[0] = 'T';
  EXPECT_EQ(f_.call(f_.authorized("GET", "/a2a/agents/" + upper + "/agent-card")).status, 404);
  // Nothing after the id: not scoped, so an unknown route.
  response = f_.call(f_.authorized("GET", "/a2a/agents/" + mailbox_id_));
  EXPECT_EQ(local_code_of(response), "TESSIK_A2A_ROUTE_NOT_FOUND");
  // A non-export-eligible agent has no public card: the refusal surfaces as an exception.
  EXPECT_THROW(
      f_.call(f_.authorized("GET", "/a2a/agents/" + hidden_.public_agent_id + "/agent-card")),
      std::invalid_argument);
  // ...but its extended card is served, privately.
  response = f_.call(
      f_.authorized("GET", "/a2a/agents/" + hidden_.public_agent_id + "/extendedAgentCard"));
  ASSERT_EQ(response.status, 200);
  EXPECT_EQ(response.headers.at("Cache-Control"), "private, no-store");
  EXPECT_FALSE(response.headers.count("ETag"));
  EXPECT_EQ(json::parse(response.body)["metadata"]["tessikProviderSessionId"], "s-hidden");
}

TEST_F(GatewayRouting, EveryListedFactoryCreatesAndServesItsCard) {
  const json listing = json::parse(f_.call(f_.authorized("GET", "/a2a/providers")).body);
  ASSERT_EQ(listing["count"], 11);
  for (const json& factory : listing["providers"]) {
    EXPECT_EQ(factory["createSupported"], true) << factory;
    const std::string scope = "/a2a/providers/" + factory["id"].get<std::string>();
    const GatewayResponse create = f_.call(f_.authorized(
        "POST", scope + "/message:send", {{"Content-Type", "application/json"}},
        R"({"message":{"messageId":"m","role":"ROLE_USER","parts":[{"text":"new"}]}})"));
    EXPECT_EQ(create.status, 200) << scope << " " << create.body;
    EXPECT_EQ(json::parse(create.body)["task"]["metadata"]["tessikOperation"], "create-agent");
    const GatewayResponse card = f_.call(f_.authorized("GET", scope + "/agent-card"));
    EXPECT_EQ(json::parse(card.body)["skills"][0]["id"], "tessik.create-agent") << scope;
  }
  const GatewayResponse response =
      f_.call(f_.authorized("GET", "/a2a/providers/tessik.provider.remote/agent-card"));
  EXPECT_EQ(response.status, 404);
  EXPECT_EQ(local_code_of(response), "TESSIK_A2A_PROVIDER_NOT_FOUND");
}

TEST_F(GatewayRouting, RouteExistenceStreamingAndOperationScopes) {
  EXPECT_EQ(local_code_of(f_.call(f_.authorized("PUT", "/a2a/agents"))),
            "TESSIK_A2A_ROUTE_NOT_FOUND");
  EXPECT_EQ(local_code_of(f_.call(f_.authorized("GET", "/a2a/message:send"))),
            "TESSIK_A2A_ROUTE_NOT_FOUND");
  EXPECT_EQ(f_.call(f_.authorized("GET", "/a2a/%61gents")).status, 404);  // paths stay encoded
  // Unknown or oddly spelled methods: normalised first, then no route has them.
  EXPECT_EQ(local_code_of(f_.call(f_.authorized("BREW", "/a2a/agents"))),
            "TESSIK_A2A_ROUTE_NOT_FOUND");
  EXPECT_EQ(f_.call(f_.authorized(" get ", "/a2a/agents")).status, 200);
  EXPECT_EQ(f_.call(f_.request(" Get", "/a2a/agent-card")).status, 200);
  EXPECT_EQ(local_code_of(f_.call(f_.authorized("", "/a2a/agents"))), "TESSIK_A2A_ROUTE_NOT_FOUND");

  f_.context.principal.scopes = {"agent.read"};
  // Streaming is refused as unimplemented before any scope check.
  for (const auto& [method, target] :
       std::vector<std::pair<std::string, std::string>>{{"POST", "/a2a/message:stream"},
                                                        {"GET", "/a2a/tasks/t1:subscribe"},
                                                        {"POST", "/a2a/tasks/t1:subscribe"}}) {
    const GatewayResponse response = f_.call(f_.authorized(method, target, {}, "{}"));
    EXPECT_EQ(response.status, 501) << target;
    EXPECT_EQ(local_code_of(response), "UnsupportedOperationError");
    EXPECT_EQ(message_of(response), "Streaming is not implemented by this A2A interface.");
  }
  const std::vector<std::tuple<std::string, std::string, std::string>> denied = {
      {"POST", "/a2a/message:send", "A2A token is not allowed to send messages."},
      {"POST", "/a2a/providers/tessik.provider.codex/message:send",
       "A2A token is not allowed to create agents."},
      {"GET", "/a2a/tasks", "A2A token is not allowed to read tasks."},
      {"GET", "/a2a/tasks/t1", "A2A token is not allowed to read tasks."},
      {"POST", "/a2a/tasks/t1:cancel", "A2A token is not allowed to cancel tasks."},
      {"POST", "/a2a/tasks/t1/pushNotificationConfigs",
       "A2A token is not allowed to manage task push notification configs."},
      {"GET", "/a2a/tasks/t1/pushNotificationConfigs",
       "A2A token is not allowed to manage task push notification configs."},
      {"DELETE", "/a2a/tasks/t1/pushNotificationConfigs/c",
       "A2A token is not allowed to manage task push notification configs."},
  };
  for (const auto& [method, target, message] : denied) {
    const GatewayResponse response = f_.call(f_.authorized(method, target, {}, "{}"));
    EXPECT_EQ(response.status, 403) << method << " " << target;
    EXPECT_EQ(message_of(response), message) << target;
  }
}

TEST_F(GatewayRouting, TrustedBrokerPrincipalSkipsTheToken) {
  f_.context.trust_broker_principal = true;
  f_.context.principal.authenticated = true;
  f_.context.principal.client_id = "svc";
  f_.context.principal.scopes = {"agent.read"};
  EXPECT_EQ(f_.call(f_.request("GET", "/a2a/agents")).status, 200);
}

TEST(JsonRpcIds, RawTextIsEchoedOrNull) {
  EXPECT_EQ(json_rpc_id(R"({"id": 7 })"), "7");
  EXPECT_EQ(json_rpc_id(R"({"id":"a\u0041"})"), R"("a\u0041")");
  EXPECT_EQ(json_rpc_id(R"({"x":{"id":1},"id":1.50})"), "1.50");
  EXPECT_EQ(json_rpc_id(R"({"id":[1,"]"],"method":"m"})"), R"([1,"]"])");
  EXPECT_EQ(json_rpc_id(R"({"method":"m"})"), "null");
  EXPECT_EQ(json_rpc_id(R"({"id":1)"), "null");  // unparsable
  EXPECT_EQ(json_rpc_id(R"([{"id":1}])"), "null");
  EXPECT_EQ(json_rpc_id(R"({"id":1,"id":2})"), "2");
  EXPECT_EQ(raw_json_member(R"({"a\"b":true})", "a\"b"), "true");
}

}  // namespace
}  // namespace tessik
