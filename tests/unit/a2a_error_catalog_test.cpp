// The local code catalogue and the fixed refusals built from it.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "a2a/gateway/error_catalog.h"

namespace tessik {
namespace {

// The routing, JSON-RPC and task tests show the answers of the codes they meet; these are
// the codes no other test reaches.
TEST(ErrorCatalog, EachCodeCarriesItsBindingAnswers) {
  struct Expected {
    std::string_view code;
    int http;
    int json_rpc;
  };
  for (const Expected& expected : std::vector<Expected>{
           {"TESSIK_A2A_TARGET_REQUIRED", 0, -32602},
           {"TESSIK_A2A_TEXT_REQUIRED", 0, 0},
           {"TESSIK_A2A_PUSH_CONFIG_STORAGE_FAILED", 500, -32603},
       }) {
    const LocalCodeInfo* info = find_local_code(expected.code);
    ASSERT_NE(info, nullptr) << expected.code;
    EXPECT_EQ(info->http_status, expected.http) << expected.code;
    EXPECT_EQ(info->json_rpc_code, expected.json_rpc) << expected.code;
  }
  EXPECT_EQ(find_local_code("TESSIK_A2A_NOPE"), nullptr);
  EXPECT_EQ(find_local_code(" TASK_NOT_FOUND"), nullptr);  // exact comparison
}

TEST(ErrorCatalog, FixedRefusals) {
  GatewayResponse response = version_not_supported_json_rpc_error("\"abc\"", "9.9");
  EXPECT_EQ(response.status, 200);
  nlohmann::json body = nlohmann::json::parse(response.body);
  EXPECT_EQ(body["id"], "abc");
  EXPECT_EQ(body["error"]["message"],
            "A2A protocol version is not supported by this interface: 9.9");
  EXPECT_EQ(body["error"]["data"][0]["reason"], "VERSION_NOT_SUPPORTED");

  response = content_type_json_rpc_error("3");
  body = nlohmann::json::parse(response.body);
  EXPECT_EQ(body["id"], 3);
  EXPECT_EQ(body["error"]["code"], -32005);

  response = token_not_configured_error();
  EXPECT_EQ(response.status, 503);
  EXPECT_TRUE(response.headers.empty());
  response = streaming_not_implemented_error();
  EXPECT_EQ(nlohmann::json::parse(response.body)["error"]["status"], "UNIMPLEMENTED");
  response = scope_denied_error("no");
  EXPECT_EQ(nlohmann::json::parse(response.body)["error"]["status"], "PERMISSION_DENIED");
}

}  // namespace
}  // namespace tessik
