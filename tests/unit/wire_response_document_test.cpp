// The fast reader of the broker's response document against the writer and the JSON library.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "wire/envelope.h"
#include "wire/response_document.h"

namespace tessik {
namespace {

GatewayResponse sample(std::string body) {
  GatewayResponse response;
  response.status = 418;
  response.content_type = "application/json; charset=\"utf-8\"";
  response.headers = {{"ETag", "\"abc\""}, {"X-Path", "C:\\dir\\file"}, {"Empty", ""}};
  response.body = std::move(body);
  return response;
}

TEST(ResponseDocument, ReadsBackWhatTheBrokerWritesWhateverTheBody) {
  const std::string bodies[] = {
      "",
      "plain ascii text that is long enough to cross an eight byte boundary or two",
      "quote \" backslash \\ slash / controls \b\f\n\r\t \x01\x1f end",
      "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 mixed with ascii",
      std::string("nul \0 inside", 12),
      "{\"nested\":\"json \\\" with escapes\"}",
  };
  for (const std::string& body : bodies) {
    const GatewayResponse written = sample(body);
    const std::string document = serialize_gateway_response(written);
    const std::optional<GatewayResponse> read = read_serialized_gateway_response(document);
    ASSERT_TRUE(read) << document;
    EXPECT_EQ(read->status, written.status);
    EXPECT_EQ(read->content_type, written.content_type);
    EXPECT_EQ(read->headers, written.headers);
    EXPECT_EQ(read->body, body);
    // The JSON library reads the same document to the same body.
    EXPECT_EQ(nlohmann::json::parse(document)["body"].get<std::string>(), read->body);
  }
}

TEST(ResponseDocument, EscapesOfEveryKindDecodeLikeTheJsonLibrary) {
  const std::string document =
      R"({"body":"\u0041\u00e9\u20ac\ud83d\ude00\/\"\\","contentType":"t","headers":{},)"
      R"("status":200,"version":1})";
  const std::optional<GatewayResponse> read = read_serialized_gateway_response(document);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->body, nlohmann::json::parse(document)["body"].get<std::string>());
  EXPECT_EQ(read->body, "A\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80/\"\\");
}

TEST(ResponseDocument, AnyOtherLayoutOrMalformedTextIsLeftToTheGeneralReader) {
  const std::string good = serialize_gateway_response(sample("x"));
  ASSERT_TRUE(read_serialized_gateway_response(good));
  const std::string others[] = {
      good + " ",                                                                // trailing bytes
      good.substr(0, good.size() - 1),                                           // cut short
      "{ " + good.substr(1),                                                     // white space
      R"({"status":200,"body":"","contentType":"t","headers":{},"version":1})",  // order
      R"({"body":"","contentType":"t","headers":{},"status":200,"version":2})",  // version
      R"({"body":"","contentType":"t","headers":{},"status":2e2,"version":1})",  // not an int
      R"({"body":"\ud83d","contentType":"t","headers":{},"status":200,"version":1})",  // half
      R"({"body":"\ude00","contentType":"t","headers":{},"status":200,"version":1})",
      R"({"body":"\x","contentType":"t","headers":{},"status":200,"version":1})",
      R"({"body":"\u12g4","contentType":"t","headers":{},"status":200,"version":1})",
      "{\"body\":\"raw\ncontrol\",\"contentType\":\"t\",\"headers\":{},\"status\":200,\"version\":"
      "1}",
      "{\"body\":\"bad \xc3\x28 "
      "utf8\",\"contentType\":\"t\",\"headers\":{},\"status\":200,\"version\":1}",
      R"({"body":"","contentType":"t","headers":{"a":1},"status":200,"version":1})",
  };
  for (const std::string& other : others)
    EXPECT_FALSE(read_serialized_gateway_response(other)) << other;
}

}  // namespace
}  // namespace tessik
