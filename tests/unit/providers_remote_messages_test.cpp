// What crosses to and from remote nodes: relay session lines, JSON-RPC answers, the legacy
// API body, and the SSH command lines with their quoting.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/bounded_process.h"
#include "providers/remote/remote_messages.h"
#include "providers/remote/remote_transports.h"

namespace tessik {
namespace {

using nlohmann::json;

std::vector<json> lines_of(const std::string& text) {
  std::vector<json> out;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    EXPECT_NE(end, std::string::npos) << "every line ends with a line feed";
    out.push_back(json::parse(text.substr(start, end - start)));
    start = end + 1;
  }
  return out;
}

DeliveryRequest sample_request() {
  DeliveryRequest request;
  request.message_id = "m1";
  request.final_visible_body = "line one\n\"quoted\" \\ tab\t\x01 end";
  request.strict = true;
  request.sender.resolved = true;
  request.sender.sender = "alice";
  request.sender.node_id = "local";
  request.sender.source = "registry_session";
  request.target.provider = "remote";
  request.target.display_name = "Bob on n1";
  request.target.agent_id = "manual-1";
  return request;
}

TEST(RelaySessionInput, HelloThenOneDeliverLineWithEveryValueEscaped) {
  const std::vector<json> lines = lines_of(relay_session_input(sample_request(), "bob", "r9"));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], json::parse(R"({"type":"hello","protocol_version":"1","node_name":"local"})"));
  const json& deliver = lines[1];
  EXPECT_EQ(deliver["type"], "deliver");
  EXPECT_EQ(deliver["request_id"], "r9");
  EXPECT_EQ(deliver["target"], "bob");
  EXPECT_EQ(deliver["body"], sample_request().final_visible_body);
  EXPECT_EQ(deliver["strict"], true);
  EXPECT_EQ(deliver["body_is_final_visible"], true);
  EXPECT_EQ(deliver["sender_resolved"], true);
  EXPECT_EQ(deliver["sender_agent"], "alice");
  EXPECT_EQ(deliver["target_display_name"], "Bob on n1");
  EXPECT_EQ(deliver["target_provider_session_id"], "bob");
  EXPECT_EQ(deliver["target_node_id"], "local");
}

TEST(RelayAnswers, KnownTypesParseAndNoiseIsSkipped) {
  const auto upstream = parse_relay_answer(
      R"({"type":"upstream_message","message_id":"u1","target":"carol","body":"hi","from":"bob","from_node":"local"})");
  ASSERT_TRUE(upstream);
  EXPECT_EQ(upstream->type, "upstream_message");
  EXPECT_EQ(upstream->target, "carol");
  EXPECT_EQ(upstream->from, "bob");
  const auto result =
      parse_relay_answer(R"( {"type":"deliver_result","accepted":true,"state":"accepted_by_tessik"} )");
  ASSERT_TRUE(result);
  EXPECT_TRUE(result->accepted);
  const auto not_boolean = parse_relay_answer(R"({"type":"deliver_result","accepted":"true"})");
  ASSERT_TRUE(not_boolean);
  EXPECT_FALSE(not_boolean->accepted);
  EXPECT_EQ(parse_relay_answer(R"({"type":"error","message":"boom"})")->error, "boom");
  for (const char* noise : {"", "Welcome to node one", R"({"type":"hello"})", "[1,2]", "{broken",
                            R"({"type":42})"}) {
    EXPECT_FALSE(parse_relay_answer(noise)) << noise;
  }
  EXPECT_FALSE(parse_relay_answer(std::string(200, '[') + std::string(200, ']')));
}

TEST(JsonRpcAnswers, FirstJsonRpcLineDecides) {
  const JsonRpcAnswer ok = read_json_rpc_answer(
      "banner\n{\"jsonrpc\":\"2.0\",\"id\":\"1\",\"result\":{\"task\":{\"id\":\"t7\","
      "\"status\":{\"state\":\"TASK_STATE_WORKING\"}}}}\n{\"jsonrpc\":\"2.0\",\"error\":{}}\n");
  EXPECT_TRUE(ok.found);
  EXPECT_TRUE(ok.accepted);
  EXPECT_EQ(ok.task_id, "t7");
  EXPECT_EQ(ok.task_state, "TASK_STATE_WORKING");

  const JsonRpcAnswer refused = read_json_rpc_answer(
      R"({"jsonrpc":"2.0","id":"1","error":{"code":-32602,"message":"target not found"}})");
  EXPECT_TRUE(refused.found);
  EXPECT_FALSE(refused.accepted);
  EXPECT_EQ(refused.error, "target not found");

  const JsonRpcAnswer failed_task = read_json_rpc_answer(
      R"({"jsonrpc":"2.0","result":{"task":{"id":"t","status":{"state":"TASK_STATE_FAILED"}}}})");
  EXPECT_FALSE(failed_task.accepted);
  EXPECT_EQ(failed_task.error, "remote task ended in TASK_STATE_FAILED");

  EXPECT_FALSE(read_json_rpc_answer("bash: tessik: command not found\n").found);
  const JsonRpcAnswer garbage = read_json_rpc_answer("jsonrpc but not json");
  EXPECT_TRUE(garbage.found);
  EXPECT_FALSE(garbage.accepted);
}

TEST(RemoteSendMessage, CarriesTargetAndSenderForTheReceivingGateway) {
  const json rpc = json::parse(remote_send_message_request(sample_request(), "bob", "n1", "r1"));
  EXPECT_EQ(rpc["jsonrpc"], "2.0");
  EXPECT_EQ(rpc["method"], "SendMessage");
  EXPECT_EQ(rpc["id"], "r1");
  const json& message = rpc["params"]["message"];
  EXPECT_EQ(message["messageId"], "m1");
  EXPECT_EQ(message["parts"][0]["text"], sample_request().final_visible_body);
  EXPECT_EQ(message["metadata"]["tessikTargetNode"], "n1");
  EXPECT_EQ(message["metadata"]["tessikRegistryAgentId"], "manual-1");
  EXPECT_EQ(message["metadata"]["tessikTargetProviderSessionId"], "bob");
  EXPECT_EQ(rpc["params"]["metadata"]["tessikRequesterAgent"], "alice");
  EXPECT_EQ(rpc["params"]["metadata"]["tessikTargetAgent"], "bob");
}

TEST(LegacyApiBody, KeysInFixedOrder) {
  EXPECT_EQ(legacy_api_body("bob", "say \"hi\"", "alice", "local", false),
            R"({"to":"bob","body":"say \"hi\"","from":"alice","from_node":"local","strict":false})");
}

std::string shell_echo(const std::string& command) {
  const platform::BoundedProcessResult run = run_ssh_command(command, 30000);
  EXPECT_EQ(run.exit_code, 0) << run.output;
  return run.output;
}

TEST(ShellQuoting, WordsSurviveOneAndTwoShells) {
  for (const std::string word : {"plain", "two words", "it's", "$(touch x) `y` \"z\" ;|&", "", "'"}) {
    EXPECT_EQ(shell_echo("printf %s " + shell_quote(word)), word);
    // The remote command of ssh is read by a second shell on the other side.
    EXPECT_EQ(shell_echo("sh -c " + shell_quote("printf %s " + shell_quote(word))), word);
  }
}

TEST(SshCommandLine, FixedOptionsIdentityAndDestination) {
  NodeRecord node;
  node.ssh_host = " host.example ";
  node.ssh_user = "me";
  EXPECT_EQ(ssh_command_prefix(node, 10), "ssh -o BatchMode=yes -o ConnectTimeout=10 'me@host.example' ");
  node.ssh_identity_file = "/keys/my key";
  EXPECT_EQ(ssh_command_prefix(node, 100),
            "ssh -o BatchMode=yes -o ConnectTimeout=100 -i '/keys/my key' 'me@host.example' ");
}

TEST(SshOutput, UnknownCommandsAreRecognized) {
  for (const char* text : {"bash: line 1: tessik: command not found",
                           "'tessik' is not recognized as an internal command",
                           "tessik: Unknown command 'a2a-relay-session'"})
    EXPECT_TRUE(remote_command_unknown(text)) << text;
  EXPECT_FALSE(remote_command_unknown("Permission denied (publickey)."));
}

// The relay session's output as the SSH transport reads it.
class RelayOutput : public ::testing::Test {
 protected:
  void SetUp() override {
    set_upstream_message_handler([this](const UpstreamMessage& message) {
      taken_.push_back(message);
      return std::string("accepted:local1");
    });
    call_.node.node_id = "n1";
    call_.node.ssh_host = "host";
    call_.remote_target = "bob";
  }
  void TearDown() override { set_upstream_message_handler(nullptr); }
  RemoteAttempt read(std::string output, int exit_code = 0) {
    platform::BoundedProcessResult run;
    run.output = std::move(output);
    run.exit_code = exit_code;
    return read_relay_output(call_, run);
  }

  RemoteCall call_;
  std::vector<UpstreamMessage> taken_;
};

TEST_F(RelayOutput, UpstreamMessagesGoToThePipelineAndTheResultDecides) {
  const RemoteAttempt attempt = read(
      "motd\n"
      R"({"type":"upstream_message","message_id":"u1","target":"carol","body":"hi","from":"bob","from_node":"local"})"
      "\n"
      R"({"type":"deliver_result","accepted":true,"state":"accepted_by_tessik","method":"tessik_mailbox"})"
      "\n");
  ASSERT_EQ(taken_.size(), 1u);
  EXPECT_EQ(taken_[0].target, "carol");
  EXPECT_EQ(taken_[0].via_node, "n1");
  EXPECT_TRUE(attempt.result.accepted);
  EXPECT_EQ(attempt.result.state, "accepted_by_remote");
  EXPECT_EQ(attempt.result.method, "ssh_relay_session_stdio");
  EXPECT_NE(attempt.result.evidence.find("upstream_message_id=u1 upstream=accepted:local1"),
            std::string::npos);
}

TEST_F(RelayOutput, ErrorsAndMissingResultsFail) {
  const RemoteAttempt error = read(R"({"type":"error","error":"target unknown"})" "\n");
  EXPECT_FALSE(error.result.accepted);
  EXPECT_EQ(error.result.error, "target unknown");
  EXPECT_FALSE(error.fallback_safe);

  const RemoteAttempt refused = read(R"({"type":"deliver_result","accepted":false,"error":"no"})");
  EXPECT_FALSE(refused.result.accepted);
  EXPECT_EQ(refused.result.error, "no");

  const RemoteAttempt unknown = read("sh: 1: tessik: command not found\n", 127);
  EXPECT_EQ(unknown.result.error, "relay session failed with exit code 127");
  EXPECT_TRUE(unknown.fallback_safe);

  const RemoteAttempt silent = read("", 0);
  EXPECT_EQ(silent.result.error, "relay session returned no deliver_result");
  EXPECT_FALSE(silent.fallback_safe);
  EXPECT_TRUE(taken_.empty());
}

}  // namespace
}  // namespace tessik
