// Request envelope parsing, response serialization and acknowledgement checks.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "base/json_depth.h"
#include "wire/envelope.h"

namespace tessik {
namespace {

constexpr const char* kMalformed = "unsupported or malformed user-broker envelope";
constexpr const char* kMissing = "user-broker envelope is missing request or principal";
constexpr const char* kValidation = "user-broker envelope failed identity or request validation";

nlohmann::json valid_envelope() {
  return nlohmann::json::parse(R"({
    "version": 1,
    "endpointUrl": "http://127.0.0.1:37661/a2a",
    "request": {"method": "POST", "target": "/a2a/v1/message:send", "body": "{}",
                "headers": {"Content-Type": "application/json"}},
    "principal": {"authenticated": true, "clientId": "client-1"}
  })");
}

std::string error_of(const nlohmann::json& envelope) {
  const UserBrokerEnvelope parsed = parse_user_broker_envelope(envelope.dump());
  EXPECT_FALSE(parsed.valid) << envelope.dump();
  return parsed.error;
}

TEST(Envelope, ValidEnvelopeKeepsFieldsUntrimmed) {
  nlohmann::json envelope = valid_envelope();
  envelope["request"]["method"] = " POST ";
  envelope["principal"]["clientId"] = "\tclient-1";
  const UserBrokerEnvelope parsed = parse_user_broker_envelope(envelope.dump());
  ASSERT_TRUE(parsed.valid) << parsed.error;
  EXPECT_EQ(parsed.request.method, " POST ");
  EXPECT_EQ(parsed.request.target, "/a2a/v1/message:send");
  EXPECT_EQ(parsed.request.body, "{}");
  EXPECT_EQ(parsed.request.endpoint_url, "http://127.0.0.1:37661/a2a");
  EXPECT_EQ(parsed.principal.client_id, "\tclient-1");
  EXPECT_TRUE(parsed.principal.token_sha256.empty());
}

TEST(Envelope, VersionMustConvertToOne) {
  nlohmann::json envelope = valid_envelope();
  envelope["version"] = 2;
  EXPECT_EQ(error_of(envelope), kMalformed);
  envelope.erase("version");
  EXPECT_EQ(error_of(envelope), kMalformed);
  envelope["version"] = "1";  // a string has no integer value
  EXPECT_EQ(error_of(envelope), kMalformed);
  envelope["version"] = nullptr;
  EXPECT_EQ(error_of(envelope), kMalformed);
  envelope["version"] = 0.5;
  EXPECT_EQ(error_of(envelope), kMalformed);
  for (const nlohmann::json& one :
       {nlohmann::json(true), nlohmann::json(1.0), nlohmann::json(1.9)}) {
    envelope["version"] = one;
    EXPECT_TRUE(parse_user_broker_envelope(envelope.dump()).valid) << one.dump();
  }
}

TEST(Envelope, SyntaxErrorsAndNonObjectsAreMalformed) {
  for (const char* payload : {"", "{", "[]", "1", "\"text\"", "null", "{\"version\":1,}",
                              "{\"version\":1} trailing", "/* c */ {\"version\":1}"}) {
    const UserBrokerEnvelope parsed = parse_user_broker_envelope(payload);
    EXPECT_FALSE(parsed.valid) << payload;
    EXPECT_EQ(parsed.error, kMalformed) << payload;
    EXPECT_TRUE(parsed.request.method.empty()) << "no partial envelope for " << payload;
  }
}

TEST(Envelope, RequestAndPrincipalMustBeObjects) {
  nlohmann::json envelope = valid_envelope();
  envelope["principal"] = nlohmann::json::array();
  EXPECT_EQ(error_of(envelope), kMissing);
  envelope = valid_envelope();
  envelope.erase("request");
  EXPECT_EQ(error_of(envelope), kMissing);
  envelope = valid_envelope();
  envelope["request"] = "GET /";
  EXPECT_EQ(error_of(envelope), kMissing);
}

TEST(Envelope, IdentityAndRequestValidation) {
  const auto with = [](const char* part, const char* key, nlohmann::json value) {
    nlohmann::json envelope = valid_envelope();
    envelope[part][key] = std::move(value);
    return envelope;
  };
  EXPECT_EQ(error_of(with("principal", "authenticated", false)), kValidation);
  EXPECT_EQ(error_of(with("principal", "clientId", "  \t ")), kValidation);
  EXPECT_EQ(error_of(with("request", "method", " \r\n")), kValidation);
  EXPECT_EQ(error_of(with("request", "target", "")), kValidation);
  nlohmann::json envelope = valid_envelope();
  envelope["principal"].erase("authenticated");
  EXPECT_EQ(error_of(envelope), kValidation);
}

TEST(Envelope, WrongTypedMembersAreRefusedNotThrown) {
  const std::pair<const char*, const char*> members[] = {
      {"request", "method"},          {"request", "target"},       {"request", "body"},
      {"principal", "authenticated"}, {"principal", "clientId"},   {"principal", "principalType"},
      {"principal", "senderAgent"},   {"principal", "senderNode"},
  };
  for (const auto& [part, key] : members) {
    for (const nlohmann::json& value :
         {nlohmann::json(5), nlohmann::json::array(), nlohmann::json::object(), nlohmann::json()}) {
      nlohmann::json envelope = valid_envelope();
      envelope[part][key] = value;
      const UserBrokerEnvelope parsed = parse_user_broker_envelope(envelope.dump());
      EXPECT_FALSE(parsed.valid) << part << "." << key << " = " << value.dump();
      EXPECT_FALSE(parsed.error.empty());
    }
  }
  nlohmann::json envelope = valid_envelope();
  envelope["endpointUrl"] = 17;
  EXPECT_FALSE(parse_user_broker_envelope(envelope.dump()).valid);
  envelope = valid_envelope();
  envelope["principal"]["authenticated"] = "true";
  EXPECT_FALSE(parse_user_broker_envelope(envelope.dump()).valid);
}

TEST(Envelope, PrincipalDefaultsAndScopeFiltering) {
  nlohmann::json envelope = valid_envelope();
  envelope["principal"]["scopes"] =
      nlohmann::json::parse(R"(["agent.read", 5, "task.read", null])");
  UserBrokerEnvelope parsed = parse_user_broker_envelope(envelope.dump());
  ASSERT_TRUE(parsed.valid);
  EXPECT_EQ(parsed.principal.principal_type, "brokered-api-client");
  EXPECT_EQ(parsed.principal.sender_node, "local");
  EXPECT_EQ(parsed.principal.sender_agent, "");
  EXPECT_EQ(parsed.principal.scopes, (std::vector<std::string>{"agent.read", "task.read"}));

  envelope["principal"]["scopes"] = "agent.read";  // not an array: no scopes at all
  envelope["principal"]["principalType"] = "registry";
  envelope["principal"]["senderNode"] = "node-7";
  envelope["principal"]["senderAgent"] = "agent-3";
  parsed = parse_user_broker_envelope(envelope.dump());
  ASSERT_TRUE(parsed.valid);
  EXPECT_TRUE(parsed.principal.scopes.empty());
  EXPECT_EQ(parsed.principal.principal_type, "registry");
  EXPECT_EQ(parsed.principal.sender_node, "node-7");
  EXPECT_EQ(parsed.principal.sender_agent, "agent-3");

  // A fresh record keeps its own default type; only parsing substitutes the brokered one.
  EXPECT_EQ(Principal{}.principal_type, "registry");
}

TEST(Envelope, HeadersKeepStringMembersOnlyWithCasePreserved) {
  nlohmann::json envelope = valid_envelope();
  envelope["request"]["headers"] =
      nlohmann::json::parse(R"({"X-Trace": "abc", "Content-Length": 12, "accept": "text/plain"})");
  UserBrokerEnvelope parsed = parse_user_broker_envelope(envelope.dump());
  ASSERT_TRUE(parsed.valid);
  EXPECT_EQ(parsed.request.headers,
            (std::map<std::string, std::string>{{"X-Trace", "abc"}, {"accept", "text/plain"}}));
  envelope["request"]["headers"] = nlohmann::json::array({"X-Trace"});
  parsed = parse_user_broker_envelope(envelope.dump());
  ASSERT_TRUE(parsed.valid);
  EXPECT_TRUE(parsed.request.headers.empty());
}

TEST(Envelope, NestingPastTheBoundIsMalformedAnywhere) {
  // Otherwise valid: a header whose value is not a string is simply skipped. The envelope,
  // its request and its headers take three levels.
  const auto with_header_depth = [](std::size_t depth) {
    return R"({"version":1,"request":{"method":"GET","target":"/","headers":{"x":)" +
           std::string(depth, '[') + std::string(depth, ']') +
           R"(}},"principal":{"authenticated":true,"clientId":"c"}})";
  };
  EXPECT_TRUE(parse_user_broker_envelope(with_header_depth(kMaxJsonNestingDepth - 3)).valid);
  EXPECT_EQ(parse_user_broker_envelope(with_header_depth(kMaxJsonNestingDepth - 2)).error,
            kMalformed);
  EXPECT_EQ(
      parse_user_broker_envelope(R"({"version":1,"padding":)" + std::string(1'000'000, '[')).error,
      kMalformed);
  std::string error;
  EXPECT_FALSE(is_response_acknowledgement(
      R"({"version":1,"type":"response_consumed","x":)" + std::string(100'000, '[') + "}", &error));
}

TEST(ResponseDocument, FixedKeyOrderCompactAndUnescapedUtf8) {
  GatewayResponse response;
  response.status = 201;
  response.content_type = "application/a2a+json";
  response.headers = {{"b", "2"}, {"A", "1\"q"}};
  response.body = "{\"k\":\"\xC3\xA9\"}\n";
  EXPECT_EQ(
      serialize_gateway_response(response),
      "{\"body\":\"{\\\"k\\\":\\\"\xC3\xA9\\\"}\\n\",\"contentType\":\"application/a2a+json\","
      "\"headers\":{\"A\":\"1\\\"q\",\"b\":\"2\"},\"status\":201,\"version\":1}");
  GatewayResponse empty;
  EXPECT_EQ(
      serialize_gateway_response(empty),
      R"({"body":"","contentType":"application/json","headers":{},"status":500,"version":1})");
  // Invalid UTF-8 never escapes into the document: it stays parseable JSON.
  empty.body = "\xFF\xC3";
  const std::string document = serialize_gateway_response(empty);
  EXPECT_TRUE(nlohmann::json::accept(document)) << document;
}

TEST(Acknowledgement, ExactlyTwoMembersInAnyOrder) {
  EXPECT_TRUE(is_response_acknowledgement(R"({"version":1,"type":"response_consumed"})"));
  EXPECT_TRUE(is_response_acknowledgement(R"( { "type" : "response_consumed", "version" : 1 } )"));
  EXPECT_TRUE(is_response_acknowledgement(R"({"type":"response_consumed","version":1.0})"));
  for (const char* bad : {R"({"version":1,"type":"response_consumed","extra":0})",
                          R"({"version":1,"type":"Response_consumed"})",
                          R"({"version":2,"type":"response_consumed"})",
                          R"({"version":"1","type":"response_consumed"})",
                          R"({"version":1,"kind":"response_consumed"})",
                          R"({"version":1,"type":["response_consumed"]})", R"({"version":1})",
                          R"([1,"response_consumed"])", "", "{"}) {
    std::string error;
    EXPECT_FALSE(is_response_acknowledgement(bad, &error)) << bad;
    EXPECT_EQ(error, "unsupported or malformed user-broker response acknowledgement") << bad;
  }
}

}  // namespace
}  // namespace tessik
