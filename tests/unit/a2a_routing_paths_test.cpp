// Path templates and HTTP routes, normalisation and scoped paths.
#include <gtest/gtest.h>

#include "a2a/gateway/operation_table.h"
#include "a2a/gateway/paths.h"

namespace tessik {
namespace {

TEST(PathTemplates, PlaceholdersStopAtTheNextTerminator) {
  EXPECT_TRUE(path_template_matches("/tasks/{id}:cancel", "/tasks/t1:cancel"));
  EXPECT_FALSE(path_template_matches("/tasks/{id}:cancel", "/tasks/:cancel"));
  EXPECT_FALSE(path_template_matches("/tasks/{id}:cancel", "/tasks/t1:cancelx"));
  // A trailing placeholder runs to the end, slashes included.
  EXPECT_TRUE(path_template_matches("/tasks/{id}", "/tasks/a/b"));
  EXPECT_FALSE(path_template_matches("/tasks/{id}", "/tasks/"));
  EXPECT_TRUE(path_template_matches("/tasks/{id}/pushNotificationConfigs/{configId}",
                                    "/tasks/t/pushNotificationConfigs/c/d"));
  EXPECT_FALSE(path_template_matches("/tasks/{id}/pushNotificationConfigs", "/tasks/t"));
  EXPECT_FALSE(path_template_matches("/agents", "/agents/"));
  EXPECT_TRUE(path_template_matches("/", "/"));
}

// Method case, support and the routes themselves are driven by the gateway routing tests.
TEST(PathTemplates, EndpointRowsAnswerPostOnlyAndMethodRowsNoHttpRequest) {
  EXPECT_FALSE(find_http_route("GET", "/rpc", false));
  EXPECT_FALSE(find_http_route("GET", "SendMessage", false));  // method rows never match
  const A2aOperationRoute* row =
      match_http_route("DELETE", "/tasks/t/pushNotificationConfigs/c", true);
  ASSERT_NE(row, nullptr);
  EXPECT_EQ(row->operation, "DeleteTaskPushNotificationConfig");
}

TEST(PathNormalisation, StripsQueryThenA2aThenV1) {
  EXPECT_EQ(normalize_a2a_path("/a2a/v1/tasks?x=1"), "/tasks");
  EXPECT_EQ(normalize_a2a_path("/v1/a2a/tasks"), "/a2a/tasks");
  for (const char* text : {"/a2a", "/a2a/", "/a2a?A2A-Version=1.0"})
    EXPECT_EQ(normalize_a2a_path(text), "/") << text;
  EXPECT_EQ(normalize_a2a_path("/a2ab/tasks"), "/a2ab/tasks");
  EXPECT_EQ(normalize_a2a_path("/v1"), "/");
  EXPECT_EQ(normalize_a2a_path("/a2a/v1"), "/");
  EXPECT_EQ(normalize_a2a_path("/a2a/%2Fagents"), "/%2Fagents");  // no decoding of paths
  EXPECT_EQ(normalize_a2a_path(""), "");
}

TEST(ScopedPaths, AgentAndProviderScopes) {
  AgentScopedRoute agent = parse_agent_scoped_path("/agents/X/.well-known/agent-card.json");
  EXPECT_TRUE(agent.matched);
  EXPECT_TRUE(agent.is_card_path);
  EXPECT_EQ(agent.id, "X");
  EXPECT_EQ(agent.rest, "/.well-known/agent-card.json");
  EXPECT_FALSE(parse_agent_scoped_path("/agents/abc").matched);
  EXPECT_FALSE(parse_agent_scoped_path("/agents//a2a").matched);
  EXPECT_FALSE(parse_agent_scoped_path("/agents").matched);
  EXPECT_FALSE(parse_agent_scoped_path("/agents/X/a2a/card").is_card_path);
  ProviderScopedRoute provider = parse_provider_scoped_path("/providers/p/agent-card?x");
  EXPECT_TRUE(provider.matched);
  EXPECT_TRUE(provider.is_card_path);
  EXPECT_EQ(provider.rest, "/agent-card");
}

TEST(ScopedPaths, EffectivePathInsideAScope) {
  EXPECT_EQ(compute_effective_path("/a2a/agents/X/a2a").effective, "/");
  EXPECT_EQ(compute_effective_path("/agents/X/rpc").effective, "/rpc");
  EXPECT_EQ(compute_effective_path("/agents/X/v1/message:send").effective, "/message:send");
  const EffectivePath provider = compute_effective_path("/a2a/providers/p/jsonrpc?q");
  EXPECT_FALSE(provider.agent.matched);
  EXPECT_TRUE(provider.provider.matched);
  EXPECT_EQ(provider.effective, "/jsonrpc");
  const EffectivePath plain = compute_effective_path("/a2a/agents/abc");
  EXPECT_FALSE(plain.agent.matched);
  EXPECT_EQ(plain.effective, "/agents/abc");
}

TEST(PathPredicates, TaskAndEndpointShapes) {
  EXPECT_TRUE(is_json_rpc_root_endpoint("/"));
  EXPECT_TRUE(is_json_rpc_root_endpoint("/jsonrpc"));
  EXPECT_FALSE(is_json_rpc_root_endpoint("/a2a"));
  EXPECT_TRUE(is_task_cancel_path("/tasks/t1:cancel"));  // 15 characters
  EXPECT_FALSE(is_task_cancel_path("/tasks/:cancel"));   // 14
  EXPECT_TRUE(is_task_subscribe_path("/tasks/t:subscribe"));
  EXPECT_FALSE(is_task_subscribe_path("/tasks/:subscribe"));
  EXPECT_TRUE(is_push_config_path("/tasks/t/pushNotificationConfigs"));
  EXPECT_TRUE(is_push_config_path("/tasks/t/pushNotificationConfigs/c"));
  EXPECT_FALSE(is_push_config_path("/tasks/t/pushNotificationConfigs/"));
  EXPECT_FALSE(is_push_config_path("/tasks/t"));
}

TEST(PathPredicates, PublicGatewayCardRequests) {
  EXPECT_TRUE(is_public_gateway_card_request("GET", "/a2a/.well-known/agent-card.json"));
  EXPECT_TRUE(is_public_gateway_card_request(" get ", "/.well-known/agent.json?A2A-Version=1.0"));
  EXPECT_TRUE(is_public_gateway_card_request("GET", "/a2a/v1/agent-card"));
  EXPECT_FALSE(is_public_gateway_card_request("POST", "/a2a/.well-known/agent-card.json"));
  EXPECT_FALSE(is_public_gateway_card_request("GET", "/a2a/agents/x/agent-card"));
  EXPECT_FALSE(is_public_gateway_card_request("GET", "/a2a/providers/x/agent-card"));
  EXPECT_FALSE(is_public_gateway_card_request("GET", "/a2a/agents"));
}

}  // namespace
}  // namespace tessik
