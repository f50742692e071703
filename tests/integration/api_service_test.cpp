// End to end through HTTP: the API-service stand-in in front of the real broker.
#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <csignal>
#include <nlohmann/json.hpp>

#include "support/gateway_stack.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

using nlohmann::json;

class ApiServiceEndToEnd : public ::testing::Test {
 protected:
  ApiServiceEndToEnd() { env_.set("TESSIK_SERVICE_UID", std::to_string(::getuid())); }
  void SetUp() override {
    stack_ = std::make_unique<test::GatewayStack>();
    client_ = std::make_unique<httplib::Client>("127.0.0.1", stack_->port());
    client_->set_read_timeout(30);
  }
  httplib::Headers bearer() const { return {{"Authorization", "Bearer " + stack_->token()}}; }
  static std::string local_code(const httplib::Result& result) {
    return json::parse(result->body)["error"]["details"][0]["metadata"]["localCode"];
  }

  test::TempEnv env_;
  std::unique_ptr<test::GatewayStack> stack_;
  std::unique_ptr<httplib::Client> client_;
};

TEST_F(ApiServiceEndToEnd, GatewayCardIsPublicCacheableAndRevalidates) {
  auto result = client_->Get("/a2a/.well-known/agent-card.json");
  ASSERT_TRUE(result);
  ASSERT_EQ(result->status, 200);
  const std::string etag = result->get_header_value("ETag");
  ASSERT_EQ(etag.size(), 66u);
  // The stand-in's own endpoint; the card's other members and caching: the gateway tests.
  EXPECT_EQ(json::parse(result->body)["url"], stack_->base_url() + "/a2a");
  result = client_->Get("/a2a/.well-known/agent-card.json", {{"If-None-Match", etag}});
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 304);
}

// The gateway's refusals pass through as they are (the bad-input test shows more of them).
TEST_F(ApiServiceEndToEnd, AuthenticationChallengesAndListings) {
  auto result = client_->Get("/a2a/agents");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 401);
  EXPECT_EQ(result->get_header_value("WWW-Authenticate"), "Bearer");
  result = client_->Get("/a2a/agents", {{"Authorization", "Bearer not-the-token"}});
  EXPECT_EQ(result->get_header_value("WWW-Authenticate"), "Bearer error=\"invalid_token\"");

  result = client_->Get("/a2a/agents", bearer());
  ASSERT_TRUE(result);
  ASSERT_EQ(result->status, 200);
  EXPECT_EQ(result->get_header_value("Content-Type"), "application/a2a+json");
  const json listing = json::parse(result->body);
  ASSERT_EQ(listing["count"], 1);
  EXPECT_EQ(listing["agents"][0]["name"], "Tessik Mailbox");
  EXPECT_EQ(listing["agents"][0]["sendable"], true);

  result = client_->Get("/a2a/providers", bearer());
  ASSERT_TRUE(result);
  EXPECT_EQ(json::parse(result->body)["count"], 11);
}

TEST_F(ApiServiceEndToEnd, BadInputGetsErrorAnswersAndTheServiceKeepsServing) {
  auto result = client_->Post("/a2a/message:send", bearer(), "not json", "application/json");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 400);
  EXPECT_EQ(local_code(result), "TESSIK_A2A_JSON_PARSE_ERROR");
  result = client_->Post("/a2a/rpc", bearer(), "{", "application/json");
  ASSERT_TRUE(result);
  EXPECT_EQ(json::parse(result->body)["error"]["code"], -32700);
  result = client_->Get("/a2a/%2e%2e/agents", bearer());
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 404);
  result = client_->Post("/a2a/message:send", bearer(), std::string(8 * 1024 * 1024 + 1, 'x'),
                         "application/json");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 413);
  result = client_->Get("/a2a/agents", {{"Authorization", "Bearer " + stack_->token()},
                                        {"X-Huge", std::string(64 * 1024, 'h')}});
  // Refused by the HTTP layer (an error status or a closed connection), never forwarded.
  EXPECT_TRUE(!result || result->status >= 400);
  result = client_->Get("/a2a/agent-card");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 200);
}

TEST_F(ApiServiceEndToEnd, WithoutABrokerTheAnswerIs503NotAHang) {
  stack_->broker().send_signal(SIGTERM);
  ASSERT_EQ(stack_->broker().wait_for_exit(), 0);
  auto result = client_->Get("/a2a/agent-card");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 503);
  EXPECT_EQ(local_code(result), "TESSIK_API_SERVICE_BROKER_UNAVAILABLE");

  stack_->api_service().send_signal(SIGINT);
  EXPECT_EQ(stack_->api_service().wait_for_exit(), 0);
}

TEST_F(ApiServiceEndToEnd, ASecondStandInOnATakenPortFailsAndTheFirstKeepsEveryRequest) {
  auto first = client_->Get("/a2a/agent-card");
  ASSERT_TRUE(first);
  const std::string instance = first->get_header_value("Tessik-Api-Service-Instance");
  ASSERT_EQ(instance.size(), 32u);

  test::BrokerProcess second(
      {"api-service", "--listen", "127.0.0.1:" + std::to_string(stack_->port())});
  EXPECT_EQ(second.wait_for_exit(), 1);
  EXPECT_NE(second.stderr_text().find("cannot listen on 127.0.0.1:" +
                                      std::to_string(stack_->port()) + ": address already in use"),
            std::string::npos)
      << second.stderr_text();

  // Fresh connections each time: a shared port would hand some of them to the other process.
  for (int i = 0; i < 12; ++i) {
    httplib::Client fresh("127.0.0.1", stack_->port());
    auto result = fresh.Get("/a2a/agents", bearer());
    ASSERT_TRUE(result) << i;
    EXPECT_EQ(result->status, 200) << i;
    EXPECT_EQ(result->get_header_value("Tessik-Api-Service-Instance"), instance) << i;
  }
}

TEST_F(ApiServiceEndToEnd, TheBearerSchemeIsAcceptedInAnyLetterCase) {
  for (const std::string scheme : {"bearer", "BEARER", "bEaReR"}) {
    auto result = client_->Get("/a2a/agents", {{"Authorization", scheme + "  " + stack_->token()}});
    ASSERT_TRUE(result) << scheme;
    EXPECT_EQ(result->status, 200) << scheme;
  }
  auto result = client_->Get("/a2a/agents", {{"Authorization", "Bearertoken"}});
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 401);
  EXPECT_EQ(local_code(result), "TESSIK_A2A_AUTH_REQUIRED");
}

TEST_F(ApiServiceEndToEnd, PagesAreServedAndDataStaysBehindTheToken) {
  auto result = client_->Get("/");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 302);
  EXPECT_EQ(result->get_header_value("Location"), "/ui/");
  result = client_->Get("/ui/");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 200);
  EXPECT_NE(result->body.find("<script>"), std::string::npos) << "the page comes without its script";
  EXPECT_FALSE(result->get_header_value("Content-Security-Policy").empty());

  // POST "/" is still the JSON-RPC endpoint.
  result = client_->Post("/", bearer(),
                         R"({"jsonrpc":"2.0","id":7,"method":"NoSuchMethod","params":{}})",
                         "application/json");
  ASSERT_TRUE(result);
  const json rpc = json::parse(result->body);
  EXPECT_EQ(rpc["jsonrpc"], "2.0");
  EXPECT_EQ(rpc["id"], 7);
  EXPECT_TRUE(rpc.contains("error"));

  result = client_->Get("/ui/api/mailbox");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 401);
  result = client_->Get("/ui/api/mailbox", bearer());
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 200);
  EXPECT_EQ(json::parse(result->body)["messages"], json::array());
  // Data answers are never cached, A2A ones included.
  EXPECT_EQ(result->get_header_value("Cache-Control"), "no-store");
  result = client_->Get("/a2a/tasks", bearer());
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 200);
  EXPECT_EQ(result->get_header_value("Cache-Control"), "no-store");
}

}  // namespace
}  // namespace tessik
