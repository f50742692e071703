// The SSH transports and the remote rename against a fake `ssh` on PATH: the fixed command
// lines, what is fed on standard input, the local task of an A2A send, and how garbage,
// unknown commands, hangs and failures end an attempt.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/bounded_process.h"
#include "providers/remote/remote_delivery.h"
#include "support/build_paths.h"
#include "support/jsonl_reader.h"
#include "support/remote_nodes.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

namespace fs = std::filesystem;

class FakeSshNode : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(bin());
    fs::create_directories(ssh_dir());
    fs::create_symlink(fs::path(TESSIK_HELPER_DIR) / "fake_ssh", bin() / "ssh");
    env_.set("PATH", bin().string() + ":/usr/bin:/bin");
    env_.set("FAKE_SSH_DIR", ssh_dir().string());
    set_external_send_task_sink([this](const ExternalSendTask& task) { tasks_.push_back(task); });
  }
  void TearDown() override {
    set_external_send_task_sink(nullptr);
    set_ssh_timeouts({});
  }
  fs::path bin() const { return env_.root() / "bin"; }
  fs::path ssh_dir() const { return env_.root() / "ssh"; }

  void write(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
  }
  void answer(const std::string& output, int exit_code = 0) {
    write(ssh_dir() / "output", output);
    write(ssh_dir() / "exit", std::to_string(exit_code));
  }
  void node(const std::string& transport, const std::string& identity = "") {
    test::write_node_n1(env_.state_dir() / "registry" / "nodes.tsv",
                        {.transport = transport, .ssh_host = "node.example", .ssh_user = "me",
                         .identity_file = identity});
  }
  std::vector<std::string> ssh_args() const {
    std::ifstream in(ssh_dir() / "args");
    std::vector<std::string> args;
    for (std::string line; std::getline(in, line);) args.push_back(line);
    return args;
  }
  DeliveryResult send() { return deliver_to_remote_node(test::delivery_to_bob_on_n1()); }
  std::vector<fs::path> leftover_inputs() const {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(env_.temp_dir())) {
      if (entry.path().filename().string().starts_with("tessik-")) found.push_back(entry.path());
    }
    return found;
  }

  test::TempEnv env_;
  std::vector<ExternalSendTask> tasks_;
};

TEST_F(FakeSshNode, A2aOverSshRunsTheFixedCommandWithTheRequestOnStdin) {
  node("a2a-ssh", "/keys/id ed");
  answer("motd\n{\"jsonrpc\":\"2.0\",\"id\":\"x\",\"result\":{\"task\":{\"id\":\"t1\","
         "\"status\":{\"state\":\"TASK_STATE_WORKING\"}}}}\n");
  const DeliveryResult result = send();
  EXPECT_TRUE(result.accepted) << result.error;
  EXPECT_EQ(result.method, "a2a_jsonrpc_over_ssh_stdio");
  EXPECT_EQ(ssh_args(),
            (std::vector<std::string>{"-o", "BatchMode=yes", "-o", "ConnectTimeout=10", "-i",
                                      "/keys/id ed", "me@node.example",
                                      "tessik", "a2a-relay-session", "--stdio"}));
  std::ifstream in(ssh_dir() / "stdin");
  std::string line;
  std::getline(in, line);
  const nlohmann::json rpc = nlohmann::json::parse(line);
  EXPECT_EQ(rpc["method"], "SendMessage");
  EXPECT_EQ(rpc["params"]["message"]["parts"][0]["text"], "hello bob");
  EXPECT_TRUE(leftover_inputs().empty());
}

TEST_F(FakeSshNode, GarbageAndFailuresEndTheAttempt) {
  node("a2a-ssh");
  answer("\x01\x02 not json at all\n");
  EXPECT_EQ(send().error, "A2A-over-SSH returned no JSON-RPC response");
  answer("Permission denied (publickey).\n", 255);
  const DeliveryResult denied = send();
  EXPECT_EQ(denied.error, "A2A-over-SSH failed with exit code 255");
  EXPECT_NE(denied.evidence.find("output=Permission denied (publickey)."), std::string::npos);
  node("legacy-ssh");
  answer("{\"type\":\"error\",\"error\":\"target is required\"}\n");
  EXPECT_EQ(send().error, "target is required");
  answer("[[[[garbage\n");
  EXPECT_EQ(send().error, "relay session returned no deliver_result");
  EXPECT_TRUE(leftover_inputs().empty());
}

TEST_F(FakeSshNode, UnknownCommandIsSafeButOnlyAnApiNodeWouldFallBack) {
  node("ssh");
  answer("bash: line 1: tessik: command not found\n", 127);
  const DeliveryResult result = send();
  EXPECT_FALSE(result.accepted);
  EXPECT_EQ(result.error, "A2A-over-SSH failed with exit code 127");
  EXPECT_NE(result.evidence.find("fallback=blocked_to_prevent_duplicate_delivery attempts=["
                                 "a2a_ssh:accepted=false:unavailable=false:"),
            std::string::npos)
      << result.evidence;
  // Only one ssh run happened: its arguments name the A2A session, not the relay session.
  EXPECT_EQ(ssh_args().back(), "--stdio");
  EXPECT_EQ(ssh_args()[ssh_args().size() - 2], "a2a-relay-session");
}

TEST_F(FakeSshNode, RemoteRenameQuotesNamesForTheRemoteShell) {
  node("ssh");
  RenameRequest request;
  request.target.provider = "remote";
  request.target.node_id = "n1";
  request.target.provider_session_id = "bob's agent";
  request.requested_name = "Reviewer $(one)";
  const RenameResult renamed = rename_remote_agent(request);
  EXPECT_EQ(renamed.state, "renamed_session");
  EXPECT_TRUE(renamed.accepted);
  EXPECT_EQ(renamed.method, "renamed_remote_cli_delegate");
  EXPECT_EQ(renamed.verification_state, "verified");
  const std::vector<std::string> args = ssh_args();
  ASSERT_EQ(args.size(), 11u);
  EXPECT_EQ(args[3], "ConnectTimeout=100");
  EXPECT_EQ(args[5], "tessik");
  // ssh joins these words into one line for the remote shell, which unquotes them again.
  EXPECT_EQ(args[8], "'bob'\\''s agent'");
  EXPECT_EQ(args[9], "--name");
  EXPECT_EQ(args[10], "'Reviewer $(one)'");

  answer("no such agent\n", 3);
  const RenameResult failed = rename_remote_agent(request);
  EXPECT_EQ(failed.state, "failed");
  EXPECT_FALSE(failed.accepted);
  EXPECT_EQ(failed.error, "remote rename command failed with exit code 3");
  EXPECT_EQ(failed.evidence,
            "node_id=n1 host=node.example remote_target=bob's agent output=no such agent");
  request.requested_name = "  ";
  EXPECT_EQ(rename_remote_agent(request).error, "new remote agent name was empty");
}

TEST_F(FakeSshNode, A2aOverSshRecordsItsTaskUnderTheSshEndpoint) {
  node("a2a-ssh");
  answer("{\"jsonrpc\":\"2.0\",\"id\":\"x\",\"result\":{\"task\":{\"id\":\"t1\","
         "\"status\":{\"state\":\"TASK_STATE_COMPLETED\"}}}}\n");
  ASSERT_TRUE(send().accepted);
  answer("{\"jsonrpc\":\"2.0\",\"id\":\"x\",\"error\":{\"code\":-32001,\"message\":\"no\"}}\n");
  EXPECT_EQ(send().error, "A2A-over-SSH request failed: no");
  answer("Connection refused\n", 255);
  EXPECT_FALSE(send().accepted);
  ASSERT_EQ(tasks_.size(), 3u);
  ASSERT_EQ(tasks_[0].events.size(), 2u);
  EXPECT_EQ(tasks_[0].events[0].code, "external_a2a_http_send_started");
  EXPECT_EQ(tasks_[0].events[0].message,
            "Tessik sent an outbound A2A message to ssh://node.example");
  EXPECT_EQ(tasks_[0].events[1].code, "external_a2a_http_response_accepted");
  EXPECT_EQ(tasks_[0].state, "TASK_STATE_COMPLETED");
  EXPECT_EQ(tasks_[0].body, "hello bob");
  EXPECT_EQ(tasks_[1].state, "TASK_STATE_FAILED");
  EXPECT_EQ(tasks_[1].error_code, "TESSIK_EXTERNAL_A2A_JSONRPC_ERROR");
  EXPECT_EQ(tasks_[2].error_code, "TESSIK_EXTERNAL_A2A_HTTP_ERROR");
  EXPECT_EQ(tasks_[2].error_message, "A2A-over-SSH failed with exit code 255");
  EXPECT_EQ(tasks_[2].events[1].code, "external_a2a_http_response_failed");
}

TEST_F(FakeSshNode, HungRemoteEndsAtTheTimeOutWithTheExitCodeMessage) {
  set_ssh_timeouts({.a2a_ssh_ms = 300, .relay_session_ms = 300, .rename_ms = 300});
  write(ssh_dir() / "hang", "");
  answer("Last login: yesterday\n");
  node("a2a-ssh");
  const DeliveryResult a2a = send();
  EXPECT_FALSE(a2a.accepted);
  EXPECT_EQ(a2a.error, "A2A-over-SSH failed with exit code 1460");
  EXPECT_NE(a2a.evidence.find("run_error=bounded process timed out"), std::string::npos)
      << a2a.evidence;
  node("legacy-ssh");
  EXPECT_EQ(send().error, "relay session failed with exit code 1460");
  RenameRequest rename;
  rename.target.node_id = "n1";
  rename.target.provider_session_id = "bob";
  rename.requested_name = "Robert";
  EXPECT_EQ(rename_remote_agent(rename).error, "remote rename command failed with exit code 1460");
  EXPECT_TRUE(leftover_inputs().empty());
}

TEST_F(FakeSshNode, OurOwnAnswerToAMissingModeMarksTheAttemptSafe) {
  // What this executable says when asked for a mode it lacks, as a remote node would say it.
  const platform::BoundedProcessResult lacking = platform::run_bounded_process(
      platform::make_bounded_options(TESSIK_BINARY, {"a2a-relay-session-v9", "--stdio"}, 60000));
  ASSERT_EQ(lacking.exit_code, 2);
  answer(lacking.output, lacking.exit_code);
  node("a2a-ssh");
  const DeliveryResult result = send();
  EXPECT_EQ(result.error, "A2A-over-SSH failed with exit code 2");
  const auto attempts = test::read_events(env_.state_dir() / "logs" / "delivery.jsonl",
                                          "remote_transport_attempt");
  ASSERT_EQ(attempts.size(), 1u);
  EXPECT_EQ(attempts[0]["migration_fallback_safe"], "true");
  // A remote that knew the mode and failed it is not safe to fall back from.
  answer("tessik a2a-relay-session: request refused\n", 1);
  send();
  EXPECT_EQ(test::read_events(env_.state_dir() / "logs" / "delivery.jsonl",
                              "remote_transport_attempt")
                .back()["migration_fallback_safe"],
            "false");
}

}  // namespace
}  // namespace tessik
