// The gateway's error bodies: exact HTTP+JSON and JSON-RPC shapes, reasons and status words.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "a2a/gateway/errors.h"

namespace tessik {
namespace {

TEST(Errors, RouteNotFoundBodyIsExact) {
  const GatewayResponse response =
      make_http_error(404, "TESSIK_A2A_ROUTE_NOT_FOUND", "A2A route not found");
  EXPECT_EQ(response.status, 404);
  EXPECT_EQ(response.content_type, "application/json");
  EXPECT_TRUE(response.headers.empty());
  EXPECT_EQ(response.body,
            R"({"error":{"code":404,"status":"NOT_FOUND","message":"A2A route not found",)"
            R"("details":[{"@type":"type.googleapis.com/google.rpc.ErrorInfo",)"
            R"("reason":"TESSIK_A2A_ROUTE_NOT_FOUND","domain":"a2a-protocol.org",)"
            R"("metadata":{"localCode":"TESSIK_A2A_ROUTE_NOT_FOUND"}}]}})");
}

TEST(Errors, ReasonIsMappedFromTheTrimmedCodeAndLocalCodeKeptAsGiven) {
  EXPECT_EQ(a2a_error_reason(" TASK_NOT_FOUND "), "TASK_NOT_FOUND");
  EXPECT_EQ(a2a_error_reason("TaskNotFoundError"), "TASK_NOT_FOUND");
  EXPECT_EQ(a2a_error_reason("TESSIK_A2A_TASK_NOT_CANCELABLE"), "TASK_NOT_CANCELABLE");
  EXPECT_EQ(a2a_error_reason("TESSIK_A2A_TASK_NOT_SUBSCRIBABLE"), "UNSUPPORTED_OPERATION");
  EXPECT_EQ(a2a_error_reason("VersionNotSupportedError"), "VERSION_NOT_SUPPORTED");
  EXPECT_EQ(a2a_error_reason(" TESSIK_A2A_AUTH_INVALID\t"), "TESSIK_A2A_AUTH_INVALID");
  const auto body =
      nlohmann::json::parse(make_http_error(404, " TASK_NOT_FOUND ", "Task not found").body);
  EXPECT_EQ(body["error"]["details"][0]["reason"], "TASK_NOT_FOUND");
  EXPECT_EQ(body["error"]["details"][0]["metadata"]["localCode"], " TASK_NOT_FOUND ");
}

TEST(Errors, StatusWords) {
  const std::pair<int, const char*> cases[] = {
      {400, "INVALID_ARGUMENT"},   {415, "INVALID_ARGUMENT"},
      {429, "INVALID_ARGUMENT"},   {401, "UNAUTHENTICATED"},
      {403, "PERMISSION_DENIED"},  {404, "NOT_FOUND"},
      {405, "METHOD_NOT_ALLOWED"}, {409, "FAILED_PRECONDITION"},
      {500, "INTERNAL"},           {501, "UNIMPLEMENTED"},
      {502, "INTERNAL"},           {503, "UNAVAILABLE"},
      {504, "INTERNAL"},
  };
  for (const auto& [status, word] : cases)
    EXPECT_EQ(http_status_word(status), word) << status;
}

TEST(Errors, JsonRpcShapes) {
  EXPECT_EQ(
      make_json_rpc_error("7", -32001, "Task not found", "TASK_NOT_FOUND").body,
      R"({"jsonrpc":"2.0","id":7,"error":{"code":-32001,"message":"Task not found",)"
      R"("data":[{"@type":"type.googleapis.com/google.rpc.ErrorInfo","reason":"TASK_NOT_FOUND",)"
      R"("domain":"a2a-protocol.org","metadata":{"localCode":"TASK_NOT_FOUND"}}]}})");
  const GatewayResponse bare = make_json_rpc_error("\"a\"", -32600, "bad", "  ");
  EXPECT_EQ(bare.status, 200);
  EXPECT_EQ(bare.body, R"({"jsonrpc":"2.0","id":"a","error":{"code":-32600,"message":"bad"}})");
  EXPECT_EQ(make_json_rpc_result("null", R"({"ok":true})").body,
            R"({"jsonrpc":"2.0","id":null,"result":{"ok":true}})");
  EXPECT_EQ(
      json_rpc_parse_error().body,
      R"({"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"Invalid JSON payload",)"
      R"("data":[{"@type":"type.googleapis.com/google.rpc.ErrorInfo","reason":"TESSIK_A2A_JSON_PARSE_ERROR",)"
      R"("domain":"a2a-protocol.org","metadata":{"localCode":"TESSIK_A2A_JSON_PARSE_ERROR"}}]}})");
}

TEST(Errors, MessagesAreEscapedAndEmptyInputsStillBuild) {
  const auto body =
      nlohmann::json::parse(make_http_error(400, "", "say \"hi\"\nthen \x01 go").body);
  EXPECT_EQ(body["error"]["message"], "say \"hi\"\nthen \x01 go");
  EXPECT_EQ(body["error"]["details"][0]["reason"], "");
  EXPECT_EQ(body["error"]["details"][0]["metadata"]["localCode"], "");
  EXPECT_EQ(nlohmann::json::parse(make_http_error(500, "X", "").body)["error"]["message"], "");
  const GatewayResponse unsupported = content_type_error("Content type is not supported.");
  EXPECT_EQ(unsupported.status, 415);
  EXPECT_EQ(nlohmann::json::parse(unsupported.body)["error"]["details"][0]["reason"],
            "CONTENT_TYPE_NOT_SUPPORTED");
  EXPECT_EQ(http_json_parse_error().status, 400);
}

}  // namespace
}  // namespace tessik
