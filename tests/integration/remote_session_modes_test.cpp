// The modes another node starts here over SSH, fed on standard input as ssh would feed them:
// one answer line for every input, bad input included, and real deliveries into this node.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/bounded_process.h"
#include "support/build_paths.h"
#include "support/delivery_env.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

using nlohmann::json;

struct ModeRun {
  int exit_code = -1;
  std::vector<json> lines;  // stdout lines that are JSON
  std::string output;
};

class SessionModes : public ::testing::Test {
 protected:
  void SetUp() override { test::use_delivery_executable(env_, TESSIK_BINARY); }

  ModeRun run(std::vector<std::string> args, std::string input) {
    platform::BoundedProcessOptions options =
        platform::make_bounded_options(TESSIK_BINARY, std::move(args), 60000);
    options.initial_input = std::move(input);
    const platform::BoundedProcessResult result = platform::run_bounded_process(options);
    ModeRun mode;
    mode.exit_code = result.exit_code;
    mode.output = result.output;
    std::size_t start = 0;
    while (start < result.output.size()) {
      std::size_t end = result.output.find('\n', start);
      if (end == std::string::npos) end = result.output.size();
      const json line = json::parse(result.output.substr(start, end - start), nullptr, false);
      if (line.is_object()) mode.lines.push_back(line);
      start = end + 1;
    }
    return mode;
  }

  test::TempEnv env_;
};

const char kHello[] = R"({"type":"hello","protocol_version":"1","node_name":"local"})" "\n";

std::string deliver_line(const std::string& target, const std::string& body) {
  json deliver = {{"type", "deliver"}, {"protocol_version", "1"}, {"request_id", "r1"},
                  {"target", target}, {"body", body}, {"strict", false},
                  {"body_is_final_visible", true}, {"sender_resolved", true},
                  {"sender_agent", "alice"}, {"sender_node", "n0"},
                  {"sender_source", "registry_session"}, {"target_node_id", "local"}};
  return deliver.dump() + "\n";
}

TEST_F(SessionModes, RelaySessionAnswersBadInputWithOneErrorLine) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "relay session expected a hello line"},
      {"SSH-2.0-garbage\n", "relay session expected a hello line"},
      {R"({"type":"hello","protocol_version":"2"})" "\n", "unsupported relay protocol_version: 2"},
      {kHello, "relay session expected a deliver line"},
      {std::string(kHello) + "{\"type\":\"deliver\"", "relay session expected a deliver line"},
  };
  for (const auto& [input, error] : cases) {
    const ModeRun mode = run({"relay-session", "--stdio"}, input);
    EXPECT_EQ(mode.exit_code, 0) << input;
    ASSERT_EQ(mode.lines.size(), 1u) << mode.output;
    EXPECT_EQ(mode.lines[0]["type"], "error");
    EXPECT_EQ(mode.lines[0]["error"], error);
  }
  EXPECT_EQ(run({"relay-session"}, "").exit_code, 2);
  EXPECT_EQ(run({"a2a-relay-session", "--stdio", "extra"}, "").exit_code, 2);
}

TEST_F(SessionModes, RelaySessionDeliversAndHandsUnknownTargetsBack) {
  const ModeRun delivered =
      run({"relay-session", "--stdio"}, kHello + deliver_line("mailbox", "for the mailbox"));
  ASSERT_EQ(delivered.lines.size(), 1u) << delivered.output;
  EXPECT_EQ(delivered.lines[0]["type"], "deliver_result");
  EXPECT_EQ(delivered.lines[0]["request_id"], "r1");
  EXPECT_EQ(delivered.lines[0]["accepted"], true);
  EXPECT_EQ(delivered.lines[0]["state"], "accepted_by_tessik");

  const ModeRun upstream =
      run({"relay-session", "--stdio"}, kHello + deliver_line("carol", "for carol"));
  ASSERT_EQ(upstream.lines.size(), 2u) << upstream.output;
  EXPECT_EQ(upstream.lines[0]["type"], "upstream_message");
  EXPECT_EQ(upstream.lines[0]["target"], "carol");
  EXPECT_EQ(upstream.lines[0]["body"], "for carol");
  EXPECT_EQ(upstream.lines[0]["from"], "alice");
  EXPECT_EQ(upstream.lines[0]["from_node"], "n0");
  EXPECT_EQ(upstream.lines[1]["type"], "deliver_result");
  EXPECT_EQ(upstream.lines[1]["state"], "accepted_by_live_upstream_relay");
}

TEST_F(SessionModes, A2aRelaySessionAnswersOneJsonRpcLine) {
  const ModeRun garbage = run({"a2a-relay-session", "--stdio"}, "not json\n");
  EXPECT_EQ(garbage.exit_code, 0);
  ASSERT_EQ(garbage.lines.size(), 1u) << garbage.output;
  EXPECT_EQ(garbage.lines[0]["jsonrpc"], "2.0");
  EXPECT_TRUE(garbage.lines[0].contains("error"));

  const ModeRun empty = run({"a2a-relay-session", "--stdio"}, "");
  ASSERT_EQ(empty.lines.size(), 1u);
  EXPECT_EQ(empty.lines[0]["error"]["code"], -32600);

  const json send = {
      {"jsonrpc", "2.0"}, {"id", "q1"}, {"method", "SendMessage"},
      {"params",
       {{"message", {{"messageId", "m-77"}, {"role", "ROLE_USER"}, {"parts", {{{"text", "hi"}}}},
                     {"metadata", {{"tessikTargetAgent", "mailbox"}}}}},
        {"metadata", {{"tessikRequesterAgent", "alice"}, {"tessikRequesterNode", "n0"}}}}}};
  const ModeRun sent = run({"a2a-relay-session", "--stdio"}, send.dump() + "\n");
  ASSERT_EQ(sent.lines.size(), 1u) << sent.output;
  EXPECT_EQ(sent.lines[0]["id"], "q1");
  ASSERT_TRUE(sent.lines[0].contains("result")) << sent.output;
  EXPECT_FALSE(sent.lines[0]["result"]["task"]["id"].get<std::string>().empty());
  EXPECT_NE(test::read_file(env_.state_dir() / "a2a" / "tasks.jsonl").find("m-77"),
            std::string::npos);
}

}  // namespace
}  // namespace tessik
