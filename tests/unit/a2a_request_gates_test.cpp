// Version negotiation, the content-type gate and request field lookups.
#include <gtest/gtest.h>

#include "a2a/gateway/request_fields.h"
#include "a2a/gateway/request_gates.h"

namespace tessik {
namespace {

GatewayRequest request_with(std::string target, std::map<std::string, std::string> headers) {
  GatewayRequest request;
  request.method = "GET";
  request.target = std::move(target);
  request.headers = std::move(headers);
  return request;
}

TEST(RequestFields, HeadersIgnoreCaseAndQueriesDecode) {
  const GatewayRequest request = request_with("/x", {{"content-TYPE", "a"}});
  EXPECT_EQ(find_header(request, "Content-Type"), "a");
  EXPECT_FALSE(find_header(request, "Authorization").has_value());
  EXPECT_EQ(header_value(request, "Authorization"), "");
  EXPECT_EQ(percent_decode("a%2Fb%2fc%zz%4"), "a/b/c%zz%4");
  EXPECT_EQ(percent_decode("a+b"), "a+b");
  EXPECT_EQ(query_parameter("/x?a=1&A2A%2DVersion=%201%2E0%20&b", "a2a-version"), " 1.0 ");
  EXPECT_EQ(query_parameter("/x?flag&b=2", "flag"), "");
  EXPECT_FALSE(query_parameter("/x?b=2", "a").has_value());
  EXPECT_FALSE(query_parameter("/x", "a").has_value());
}

TEST(VersionGate, DefaultsAndSources) {
  EXPECT_EQ(requested_a2a_version(request_with("/", {})), "0.3");
  EXPECT_EQ(requested_a2a_version(request_with("/", {{"A2A-Version", "  "}})), "0.3");
  EXPECT_EQ(requested_a2a_version(request_with("/", {{"a2a-version", " 1.0 "}})), "1.0");
  // The query parameter name is compared ignoring case.
  EXPECT_EQ(requested_a2a_version(request_with("/?a2a-version=1.0", {})), "1.0");
  // A header, even an empty one, wins over the query.
  EXPECT_EQ(requested_a2a_version(request_with("/?A2A-Version=1.0", {{"A2A-Version", ""}})), "0.3");
}

TEST(VersionGate, OnlyWellFormedOneZeroAndZeroThreeAreServed) {
  for (const char* served : {"1.0", "0.3"}) {
    EXPECT_FALSE(unsupported_a2a_version(request_with("/", {{"A2A-Version", served}}))) << served;
  }
  EXPECT_FALSE(unsupported_a2a_version(request_with("/", {})));
  for (const char* refused : {"2.0", "1.1", "1", ".1", "1.", "1.0.0", "v1.0", "1.a"}) {
    const auto version = unsupported_a2a_version(request_with("/", {{"A2A-Version", refused}}));
    ASSERT_TRUE(version.has_value()) << refused;
    EXPECT_EQ(*version, refused);
  }
}

TEST(ContentTypeGate, JsonFamiliesOnly) {
  for (const char* accepted :
       {"application/json", "Application/JSON; charset=utf-8", "application/a2a+json",
        "application/vnd.example+json;charset=x", "a/b+json", " application/json "}) {
    EXPECT_TRUE(is_supported_content_type(request_with("/", {{"Content-Type", accepted}})))
        << accepted;
  }
  EXPECT_TRUE(is_supported_content_type(request_with("/", {})));
  for (const char* refused : {"text/plain", "+json", "application/jsonx", "multipart/form-data",
                              "application/xml; x=+json"}) {
    EXPECT_FALSE(is_supported_content_type(request_with("/", {{"Content-Type", refused}})))
        << refused;
  }
}

}  // namespace
}  // namespace tessik
