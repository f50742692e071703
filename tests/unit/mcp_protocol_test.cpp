// The MCP server's JSON-RPC handling: version negotiation, notifications, the error codes of
// bad input, tool listing and calls, the bounded line reader and the readiness marker.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "mcp/mcp_server.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

using nlohmann::json;

// Records every call; answers "echo" with the arguments it got and throws for "explode".
class RecordingTools : public McpToolHandler {
 public:
  std::vector<std::pair<std::string, json>> calls;

  std::vector<McpToolDescription> tools() const override {
    return {{"echo", "Echo", "Echoes its arguments",
             {{"type", "object"}, {"properties", {{"x", {{"type", "string"}}}}}}}};
  }
  std::optional<McpToolResult> call(std::string_view name, const json& arguments) override {
    calls.emplace_back(std::string(name), arguments);
    if (name == "explode") throw std::runtime_error("boom");
    if (name != "echo") return std::nullopt;
    return McpToolResult{arguments.dump(), arguments.contains("fail")};
  }
};

class McpProtocolTest : public ::testing::Test {
 protected:
  RecordingTools tools;
  McpSession session{tools};

  json answer(const std::string& line) {
    const std::optional<std::string> text = session.handle_line(line);
    EXPECT_TRUE(text.has_value()) << line;
    return text ? json::parse(*text) : json();
  }
  json request(const std::string& method, const json& params, const json& id = 7) {
    return answer(json({{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", params}})
                      .dump());
  }
  static int error_code(const json& response) { return response.at("error").at("code"); }
};

TEST_F(McpProtocolTest, InitializeAnswersTheClientsVersionWhenKnownElseTheNewest) {
  json response = request("initialize", {{"protocolVersion", "2025-06-18"}});
  EXPECT_EQ(response["id"], 7);
  EXPECT_EQ(response["jsonrpc"], "2.0");
  EXPECT_EQ(response["result"]["protocolVersion"], "2025-06-18");
  EXPECT_EQ(response["result"]["serverInfo"]["name"], "tessik");
  EXPECT_TRUE(response["result"]["capabilities"].contains("tools"));
  EXPECT_EQ(session.protocol_version(), "2025-06-18");

  response = request("initialize", {{"protocolVersion", "2024-11-05"}});
  EXPECT_EQ(response["result"]["protocolVersion"], "2025-11-25");
  response = request("initialize", {{"protocolVersion", "2099-01-01"}});
  EXPECT_EQ(response["result"]["protocolVersion"], "2025-11-25");
  EXPECT_EQ(negotiate_mcp_protocol_version("2025-11-25"), "2025-11-25");

  EXPECT_EQ(error_code(request("initialize", json::object())), kMcpInvalidParams);
  EXPECT_EQ(error_code(request("initialize", {{"protocolVersion", 3}})), kMcpInvalidParams);
}

TEST_F(McpProtocolTest, NotificationsAndClientResponsesGetNoAnswer) {
  EXPECT_FALSE(session.handle_line(R"({"jsonrpc":"2.0","method":"notifications/initialized"})"));
  EXPECT_FALSE(session.handle_line(R"({"jsonrpc":"2.0","method":"no/such/method"})"));
  EXPECT_FALSE(session.handle_line(R"({"jsonrpc":"1.0","method":"x"})"));
  EXPECT_FALSE(session.handle_line(R"({"jsonrpc":"2.0","method":"tools/call","params":[1]})"));
  EXPECT_FALSE(session.handle_line(R"({"jsonrpc":"2.0","id":4,"result":{}})"));
  EXPECT_FALSE(session.handle_line("   \r"));
  // A tools/call sent as a notification runs no tool: nobody could read its answer.
  EXPECT_FALSE(session.handle_line(
      R"({"jsonrpc":"2.0","method":"tools/call","params":{"name":"echo"}})"));
  EXPECT_TRUE(tools.calls.empty());
}

TEST_F(McpProtocolTest, BadInputGetsItsJsonRpcError) {
  json response = answer("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":");
  EXPECT_EQ(error_code(response), kMcpParseError);
  EXPECT_TRUE(response["id"].is_null());
  EXPECT_EQ(error_code(answer("\"just a string\"")), kMcpInvalidRequest);
  EXPECT_EQ(error_code(answer(R"([{"jsonrpc":"2.0","id":1,"method":"ping"}])")),
            kMcpInvalidRequest);
  // The id is echoed when it is one; a request without "jsonrpc" is invalid.
  response = answer(R"({"id":"abc","method":"ping"})");
  EXPECT_EQ(error_code(response), kMcpInvalidRequest);
  EXPECT_EQ(response["id"], "abc");
  response = answer(R"({"jsonrpc":"2.0","id":{"x":1},"method":"ping"})");
  EXPECT_EQ(error_code(response), kMcpInvalidRequest);
  EXPECT_TRUE(response["id"].is_null());
  EXPECT_EQ(error_code(answer(R"({"jsonrpc":"2.0","id":1,"method":5})")), kMcpInvalidRequest);
  EXPECT_EQ(error_code(answer(R"({"jsonrpc":"2.0","id":1,"method":"ping","params":"x"})")),
            kMcpInvalidParams);
  response = request("resources/list", json::object(), "r-1");
  EXPECT_EQ(error_code(response), kMcpMethodNotFound);
  EXPECT_EQ(response["id"], "r-1");
  // Invalid UTF-8 is not JSON.
  EXPECT_EQ(error_code(answer("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"\xff\"}")),
            kMcpParseError);
}

TEST_F(McpProtocolTest, NestingIsBoundedBeforeParsing) {
  auto nested = [](int depth) {
    return R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"echo",)"
           R"("arguments":{"x":)" +
           std::string(depth, '[') + std::string(depth, ']') + "}}}";
  };
  const json refused = answer(nested(70));
  EXPECT_EQ(error_code(refused), kMcpInvalidRequest);
  EXPECT_TRUE(tools.calls.empty());
  const json served = answer(nested(50));
  EXPECT_FALSE(served["result"]["isError"]);
  ASSERT_EQ(tools.calls.size(), 1u);
}

TEST_F(McpProtocolTest, ToolsAreListedAndCalled) {
  EXPECT_EQ(request("ping", json::object())["result"], json::object());
  EXPECT_FALSE(session.tools_listed());
  const json listed = request("tools/list", json::object());
  ASSERT_EQ(listed["result"]["tools"].size(), 1u);
  EXPECT_EQ(listed["result"]["tools"][0]["name"], "echo");
  EXPECT_EQ(listed["result"]["tools"][0]["inputSchema"]["type"], "object");
  EXPECT_TRUE(session.tools_listed());

  json called = request("tools/call", {{"name", "echo"}, {"arguments", {{"x", "a\"b"}}}});
  EXPECT_EQ(called["result"]["content"][0]["type"], "text");
  EXPECT_EQ(json::parse(called["result"]["content"][0]["text"].get<std::string>()),
            json({{"x", "a\"b"}}));
  EXPECT_FALSE(called["result"]["isError"]);
  called = request("tools/call", {{"name", "echo"}, {"arguments", {{"fail", true}}}});
  EXPECT_TRUE(called["result"]["isError"]);
  // Missing arguments reach the tool as an empty object.
  request("tools/call", {{"name", "echo"}});
  EXPECT_EQ(tools.calls.back().second, json::object());

  EXPECT_EQ(error_code(request("tools/call", {{"name", "missing"}})), kMcpInvalidParams);
  EXPECT_EQ(error_code(request("tools/call", {{"arguments", json::object()}})), kMcpInvalidParams);
  EXPECT_EQ(error_code(request("tools/call", {{"name", "echo"}, {"arguments", "x"}})),
            kMcpInvalidParams);
  called = request("tools/call", {{"name", "explode"}});
  EXPECT_TRUE(called["result"]["isError"]);
  EXPECT_NE(called["result"]["content"][0]["text"].get<std::string>().find("boom"),
            std::string::npos);
}

TEST(McpLineReaderTest, SplitsLinesAndSkipsOversizedOnes) {
  std::istringstream in("one\r\n" + std::string(40, 'x') + "\nthree\n\nlast");
  BoundedLineReader reader(in, 10);
  std::string line;
  ASSERT_EQ(reader.next(line), BoundedLineReader::Status::line);
  EXPECT_EQ(line, "one\r");
  EXPECT_EQ(reader.next(line), BoundedLineReader::Status::oversized);
  ASSERT_EQ(reader.next(line), BoundedLineReader::Status::line);
  EXPECT_EQ(line, "three");
  ASSERT_EQ(reader.next(line), BoundedLineReader::Status::line);
  EXPECT_EQ(line, "");
  ASSERT_EQ(reader.next(line), BoundedLineReader::Status::line);
  EXPECT_EQ(line, "last");
  EXPECT_EQ(reader.next(line), BoundedLineReader::Status::end);
}

TEST(McpLineReaderTest, AMebibyteLineIsReadWholeAndAnOversizedLastLineIsReported) {
  const std::string big(std::size_t{1} << 20, 'b');
  std::istringstream in(big + "\n" + std::string(200, 'y'));
  BoundedLineReader reader(in, kMaxMcpLineBytes);
  std::string line;
  ASSERT_EQ(reader.next(line), BoundedLineReader::Status::line);
  EXPECT_EQ(line, big);
  std::istringstream tail(std::string(200, 'y'));
  BoundedLineReader small(tail, 100);
  EXPECT_EQ(small.next(line), BoundedLineReader::Status::oversized);
  EXPECT_EQ(small.next(line), BoundedLineReader::Status::end);
}

class McpServeTest : public ::testing::Test {
 protected:
  test::TempEnv env;
  RecordingTools tools;
  McpServerOptions options{"claude-code-cli", "claude_code_cli", "claude_code_cli:session:s-1",
                           "Claude s-1", (env.root() / "ready.json").string()};

  std::vector<json> serve(const std::string& input) {
    std::istringstream in(input);
    std::ostringstream out;
    std::ostringstream diagnostics;
    EXPECT_EQ(serve_mcp(tools, options, in, out, diagnostics), 0);
    std::vector<json> answers;
    std::istringstream lines(out.str());
    for (std::string line; std::getline(lines, line);)
      answers.push_back(json::parse(line));
    return answers;
  }
};

constexpr char kInitialize[] =
    R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18"}})"
    "\n"
    R"({"jsonrpc":"2.0","method":"notifications/initialized"})"
    "\n";

TEST_F(McpServeTest, TheMarkerIsWrittenOnlyOnceToolsHaveBeenListed) {
  std::vector<json> answers =
      serve(std::string(kInitialize) +
            R"({"jsonrpc":"2.0","method":"tools/list"})" "\n"
            R"({"jsonrpc":"2.0","id":2,"method":"ping"})" "\n");
  ASSERT_EQ(answers.size(), 2u);
  EXPECT_EQ(answers[1]["id"], 2);
  EXPECT_FALSE(std::filesystem::exists(options.ready_file));

  answers = serve(std::string(kInitialize) + R"({"jsonrpc":"2.0","id":2,"method":"tools/list"})");
  ASSERT_EQ(answers.size(), 2u);
  const json marker = json::parse(test::read_file(options.ready_file));
  EXPECT_EQ(marker["state"], "tools_list_ready");
  EXPECT_EQ(marker["provider"], "claude_code_cli");
  EXPECT_EQ(marker["provider_session_id"], "claude_code_cli:session:s-1");
  EXPECT_EQ(marker["host"], "claude-code-cli");
  EXPECT_EQ(marker["protocol_version"], "2025-06-18");
}

TEST_F(McpServeTest, AClientThatStopsReadingEndsTheServer) {
  std::istringstream in(R"({"jsonrpc":"2.0","id":1,"method":"ping"})" "\n"
                        R"({"jsonrpc":"2.0","id":2,"method":"tools/list"})" "\n");
  std::ostringstream out;
  out.setstate(std::ios::badbit);
  std::ostringstream diagnostics;
  EXPECT_EQ(serve_mcp(tools, options, in, out, diagnostics), 1);
  EXPECT_NE(diagnostics.str().find("could not write"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(options.ready_file));
}

TEST_F(McpServeTest, AnOversizedLineIsAnsweredAndServingGoesOn) {
  const std::string huge = R"({"jsonrpc":"2.0","id":1,"method":"ping","params":{"x":")" +
                           std::string(kMaxMcpLineBytes, 'z') + "\"}}\n";
  const std::vector<json> answers = serve(huge + R"({"jsonrpc":"2.0","id":2,"method":"ping"})");
  ASSERT_EQ(answers.size(), 2u);
  EXPECT_EQ(answers[0]["error"]["code"], kMcpInvalidRequest);
  EXPECT_EQ(answers[1]["id"], 2);
}

}  // namespace
}  // namespace tessik
