// Agent Card validation: interface choice across 1.0 and 0.3 cards, the order of validation
// failures, security requirement selection and scheme kinds, and the two-URL card fetch.
#include <gtest/gtest.h>

#include <string>

#include "providers/external_a2a/agent_card.h"
#include "support/loopback_http_server.h"

namespace tessik {
namespace {

TEST(ExternalAgentCard, ChoosesInterfaceInDeclaredOrder) {
  // A 1.0 card: the first usable supportedInterfaces entry wins, skipping unknown bindings.
  const ExternalAgentCard v1 = parse_agent_card(R"({"name":"Echo","supportedInterfaces":[
      {"url":"https://a.example/grpc","protocolBinding":"GRPC","protocolVersion":"1.0"},
      {"url":"https://a.example/rest","protocolBinding":"HTTP+JSON","protocolVersion":"1.0","tenant":"t1"},
      {"url":"https://a.example/rpc","protocolBinding":"JSONRPC","protocolVersion":"1.0"}]})",
                                                "https://a.example", "");
  ASSERT_EQ(v1.error, "");
  EXPECT_EQ(v1.chosen_interface.url, "https://a.example/rest");
  EXPECT_EQ(v1.chosen_interface.protocol_binding, "HTTP+JSON");
  EXPECT_EQ(v1.chosen_interface.protocol_version, "1.0");
  EXPECT_EQ(v1.chosen_interface.tenant, "t1");

  // Only "url": JSON-RPC 0.3.
  const ExternalAgentCard bare =
      parse_agent_card(R"({"name":"Old","url":"http://127.0.0.1:9/rpc"})", "", "");
  ASSERT_EQ(bare.error, "");
  EXPECT_EQ(bare.chosen_interface.protocol_binding, "JSONRPC");
  EXPECT_EQ(bare.chosen_interface.protocol_version, "0.3");

  // A top-level url in an unsupported transport falls through to additionalInterfaces.
  const ExternalAgentCard extra = parse_agent_card(
      R"({"name":"X","url":"https://x/grpc","preferredTransport":"GRPC","protocolVersion":"0.3",
          "additionalInterfaces":[{"url":"https://x/rest","transport":"HTTP+JSON"}]})",
      "", "");
  ASSERT_EQ(extra.error, "");
  EXPECT_EQ(extra.chosen_interface.url, "https://x/rest");
  EXPECT_EQ(extra.chosen_interface.protocol_binding, "HTTP+JSON");
  EXPECT_EQ(extra.chosen_interface.protocol_version, "0.3");

  // Version 2.0 only: nothing usable.
  const ExternalAgentCard future =
      parse_agent_card(R"({"name":"F","url":"https://f/rpc","protocolVersion":"2.0"})", "", "");
  EXPECT_EQ(future.error,
            "Agent Card did not declare a supported HTTP+JSON or JSONRPC interface for A2A 1.0 or "
            "0.3.");
}

TEST(ExternalAgentCard, ReportsTheFirstFailureInOrder) {
  EXPECT_EQ(parse_agent_card("not json", "", "").error, "Agent Card parse failed.");
  EXPECT_EQ(parse_agent_card("[1,2]", "", "").error, "Agent Card response was not a JSON object.");
  // A nesting bomb is refused before parsing.
  EXPECT_EQ(parse_agent_card(std::string(10000, '[') + std::string(10000, ']'), "", "").error,
            "Agent Card parse failed.");
  // Malformed signatures come before the missing name.
  EXPECT_EQ(parse_agent_card(R"({"url":"https://s/rpc","signatures":[{"protected":"!!"}]})", "", "")
                .error,
            "Agent Card declared malformed JWS signatures.");
  EXPECT_EQ(parse_agent_card(R"({"url":"https://s/rpc"})", "", "").error,
            "Agent Card did not include a usable agent name.");
  // The expected name stands in for a card that names no one.
  EXPECT_EQ(parse_agent_card(R"({"url":"https://s/rpc"})", "", "Given").name, "Given");
  EXPECT_EQ(parse_agent_card(R"({"displayName":"D","url":"https://s/rpc"})", "", "").name, "D");
}

TEST(ExternalAgentCard, AcceptsWellFormedSignaturesWithoutVerifying) {
  // {"alg":"ES256","kid":"k1"} in base64url.
  const std::string header = "eyJhbGciOiJFUzI1NiIsImtpZCI6ImsxIn0";
  const ExternalAgentCard card =
      parse_agent_card(R"({"name":"S","url":"https://s/rpc","signatures":[{"protected":")" +
                           header + R"(","signature":"c2ln"}]})",
                       "", "");
  EXPECT_EQ(card.error, "");
  EXPECT_TRUE(card.has_signatures);
  // {"alg":"ES256"}: no kid.
  const ExternalAgentCard no_kid = parse_agent_card(
      R"({"name":"S","url":"https://s/rpc","signatures":[{"protected":"eyJhbGciOiJFUzI1NiJ9","signature":"c2ln"}]})",
      "", "");
  EXPECT_EQ(no_kid.error, "Agent Card declared malformed JWS signatures.");
}

ExternalAgentCard with_security(const std::string& schemes, const std::string& requirements) {
  return parse_agent_card(R"({"name":"A","url":"https://a/rpc","securitySchemes":)" + schemes +
                              R"(,"securityRequirements":)" + requirements + "}",
                          "", "");
}

TEST(ExternalAgentCard, SelectsASingleSchemeRequirement) {
  const std::string schemes =
      R"({"oa":{"type":"oauth2","flows":{"clientCredentials":{"tokenUrl":"https://a/token","scopes":{}}}},
          "bb":{"type":"http","scheme":"bearer"}})";
  // The compound requirement is passed over for the single one after it.
  const ExternalAgentCard card =
      with_security(schemes, R"([{"oa":["read"],"bb":[]},{"oa":["read","write"]}])");
  ASSERT_EQ(card.requirement_error, "");
  EXPECT_EQ(card.requirement.scheme_name, "oa");
  EXPECT_EQ(card.requirement.scheme_kind, "oauth2");
  EXPECT_EQ(card.requirement.scopes, "read write");
  EXPECT_EQ(card.token_url, "https://a/token");

  EXPECT_EQ(with_security(schemes, R"([{"oa":[],"bb":[]}])").requirement_error,
            "A2A outbound delivery does not support compound security requirements.");
  EXPECT_EQ(with_security(schemes, "[]").requirement_error, "");  // empty: treated as absent
  EXPECT_EQ(with_security(schemes, R"({"oa":[]})").requirement_error,
            "Agent Card securityRequirements must be a non-empty array.");
  EXPECT_EQ(with_security(schemes, R"([7])").requirement_error,
            "Agent Card securityRequirements contained a malformed requirement.");
  EXPECT_EQ(with_security(schemes, R"([{"zz":[]}])").requirement_error,
            "Agent Card securityRequirements referenced an undeclared security scheme: zz");
  EXPECT_EQ(with_security(schemes, R"([{"oa":"read"}])").requirement_error,
            "Agent Card security requirement scopes must be an array for scheme: oa");
  EXPECT_EQ(with_security(schemes, R"([{"oa":[1]}])").requirement_error,
            "Agent Card security requirement scopes must contain only strings for scheme: oa");
  // The 1.0 wrapped form.
  const ExternalAgentCard wrapped =
      with_security(schemes, R"([{"schemes":{"bb":{"list":["x"]}}}])");
  EXPECT_EQ(wrapped.requirement.scheme_kind, "http-bearer");
  EXPECT_EQ(wrapped.requirement.scopes, "x");
}

TEST(ExternalAgentCard, NamesSchemeKinds) {
  EXPECT_EQ(security_scheme_kind(R"({"type":"openIdConnect","openIdConnectUrl":"u"})"), "oidc");
  EXPECT_EQ(security_scheme_kind(R"({"openIdConnectSecurityScheme":{}})"), "oidc");
  EXPECT_EQ(security_scheme_kind(R"({"oauth2SecurityScheme":{"flows":{}}})"), "oauth2");
  EXPECT_EQ(security_scheme_kind(R"({"type":"http","scheme":"Bearer"})"), "http-bearer");
  EXPECT_EQ(security_scheme_kind(R"({"type":"http","scheme":"basic"})"), "http-auth");
  EXPECT_EQ(security_scheme_kind(R"({"apiKeySecurityScheme":{"name":"k"}})"), "api-key");
  EXPECT_EQ(security_scheme_kind(R"({"type":"mutualTLS"})"), "mtls");
  EXPECT_EQ(security_scheme_kind(R"({"type":"carrier-pigeon"})"), "");
}

TEST(ExternalAgentCard, BaseUrlDropsWellKnownSuffixes) {
  for (const char* text : {"https://h/a/.well-known/agent-card.json",
                           " https://h/a/.well-known/agent.json ", "https://h/a/"})
    EXPECT_EQ(agent_card_base_url(text), "https://h/a") << text;
}

TEST(ExternalAgentCardFetch, FallsBackToTheOlderWellKnownPathThenReportsStatus) {
  test::LoopbackHttpServer server;
  std::string accept;
  server.server().Get("/old/.well-known/agent.json", [&](const httplib::Request& request,
                                                         httplib::Response& response) {
    accept = request.get_header_value("Accept", 1);
    response.set_content(R"({"name":"Old","url":"http://127.0.0.1:1/rpc"})", "application/json");
  });
  server.server().Get(
      "/gone/.well-known/agent.json",
      [](const httplib::Request&, httplib::Response& response) { response.status = 410; });
  server.server().Get("/junk/.well-known/agent-card.json",
                      [](const httplib::Request&, httplib::Response& response) {
                        response.set_content("<html>", "text/html");
                      });
  server.start();

  const AgentCardFetch old = fetch_agent_card(server.url("/old/.well-known/agent-card.json"), {});
  ASSERT_EQ(old.card.error, "");
  EXPECT_EQ(old.card.name, "Old");
  EXPECT_EQ(old.card_url, server.url("/old/.well-known/agent.json"));
  EXPECT_EQ(accept, "application/json, application/a2a+json");

  EXPECT_EQ(fetch_agent_card(server.url("/gone"), {}).card.error,
            "Agent Card fetch failed with HTTP status 410");
  EXPECT_EQ(fetch_agent_card(server.url("/junk"), {}).card.error, "Agent Card parse failed.");
}

TEST(ExternalAgentCardFetch, OptionsRecordWhatTheCardSaid) {
  test::LoopbackHttpServer server;
  const std::string card =
      R"({"name":"Sec","url":"https://sec.example/rpc","protocolVersion":"0.3",
          "securitySchemes":{"oa":{"type":"oauth2","flows":{"clientCredentials":
              {"tokenUrl":"https://sec.example/token","scopes":{}}}}},
          "security":[{"oa":["a","b"]}],
          "signatures":[{"protected":"eyJhbGciOiJFUzI1NiIsImtpZCI6ImsxIn0","signature":"c2ln"}]})";
  server.server().Get("/sec/.well-known/agent-card.json",
                      [&](const httplib::Request&, httplib::Response& response) {
                        response.set_content(card, "application/json");
                      });
  server.start();
  const AgentCardFetch fetch = fetch_agent_card(server.url("/sec"), {});
  ASSERT_EQ(fetch.card.error, "");
  ASSERT_EQ(fetch.card.requirement_error, "");
  const std::vector<std::string> expected = {
      "a2a:base-url=" + server.url("/sec"),
      "a2a:agent-card-url=" + server.url("/sec/.well-known/agent-card.json"),
      "a2a:card-sha256=" + fetch.card.sha256,
      "a2a:protocol-version=0.3",
      "a2a:protocol-binding=JSONRPC",
      "a2a:agent-card-signature-status=present-unverified",
      "a2a:auth-scheme=oauth2",
      "a2a:oauth-token-url=https://sec.example/token",
      "a2a:oauth-scopes=a b"};
  EXPECT_EQ(agent_card_options(fetch), expected);
  EXPECT_EQ(fetch.card.sha256.size(), 64u);
}

}  // namespace
}  // namespace tessik
