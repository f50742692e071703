// Remote nodes configured "api" against a loopback HTTPS node: a failed Agent Card preflight
// falls back to the legacy message API, a failed JSON-RPC send after the preflight does not,
// and a disabled node is never contacted. The node's token never reaches the logs. The hosted
// relay posts to the same node; every A2A attempt leaves its local task.
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "providers/remote/remote_delivery.h"
#include "support/jsonl_reader.h"
#include "support/loopback_http_server.h"
#include "support/remote_nodes.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

namespace fs = std::filesystem;

constexpr char kToken[] = "TSKT-secret-4b1d";

class RemoteHttpsNode : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.set("NO_PROXY", "*");
    node_ = test::make_trusted_https_server(env_.root() / "server", env_.state_dir());
    httplib::Server& http = node_->server();
    http.Get("/a2a/.well-known/agent-card.json", [this](const httplib::Request&, httplib::Response& reply) {
      ++card_hits_;
      reply.status = card_status_;
      reply.set_content(card_body_, "application/json");
    });
    http.Post("/a2a", [this](const httplib::Request& request, httplib::Response& reply) {
      ++rpc_hits_;
      std::lock_guard<std::mutex> lock(mutex_);
      rpc_authorization_ = request.get_header_value("Authorization");
      rpc_target_node_ = request.get_header_value("X-Tessik-Target-Node");
      rpc_accept_ = request.get_header_value("Accept");
      reply.status = rpc_status_;
      reply.set_content(R"({"jsonrpc":"2.0","id":"1","result":{"task":{"id":"t1","status":{"state":"TASK_STATE_WORKING"}}}})",
                        "application/json");
    });
    http.Post("/a2a/v1/messages", [this](const httplib::Request& request, httplib::Response& reply) {
      ++legacy_hits_;
      legacy_body_ = request.body;
      reply.set_content(R"({"state":"accepted_by_tessik"})", "application/json");
    });
    node_->start("127.0.0.1", "https");
    set_external_send_task_sink([this](const ExternalSendTask& task) {
      std::lock_guard<std::mutex> lock(mutex_);
      tasks_.push_back(task);
    });
  }
  void TearDown() override { set_external_send_task_sink(nullptr); }

  void write_node(const std::string& transport, bool enabled) {
    test::write_node_n1(env_.state_dir() / "registry" / "nodes.tsv",
                        {.transport = transport, .api_url = node_->url("/a2a"), .secret = kToken,
                         .enabled = enabled});
  }

  DeliveryResult send() { return deliver_to_remote_node(test::delivery_to_bob_on_n1()); }

  void expect_no_token_in_logs() {
    for (const char* log : {"delivery.jsonl", "events.jsonl"}) {
      const fs::path path = env_.state_dir() / "logs" / log;
      if (fs::exists(path)) {
        EXPECT_EQ(test::read_file(path).find(kToken), std::string::npos) << log;
      }
    }
  }

  test::TempEnv env_;
  std::unique_ptr<test::LoopbackHttpServer> node_;
  std::atomic<int> card_status_{200};
  std::atomic<int> rpc_status_{200};
  std::atomic<int> card_hits_{0};
  std::atomic<int> rpc_hits_{0};
  std::atomic<int> legacy_hits_{0};
  std::string card_body_ = R"({"name":"node","url":"https://127.0.0.1/a2a"})";
  std::mutex mutex_;
  std::string rpc_authorization_;
  std::string rpc_target_node_;
  std::string rpc_accept_;
  std::string legacy_body_;
  std::vector<ExternalSendTask> tasks_;
};

TEST_F(RemoteHttpsNode, DirectA2aIsTriedFirstAndCarriesTheToken) {
  write_node("api", true);
  const DeliveryResult result = send();
  EXPECT_TRUE(result.accepted) << result.error;
  EXPECT_EQ(result.method, "a2a_https_jsonrpc");
  EXPECT_EQ(rpc_authorization_, std::string("Bearer ") + kToken);
  EXPECT_EQ(legacy_hits_, 0);
  EXPECT_NE(result.evidence.find("preflight=agent_card_ok"), std::string::npos);
  expect_no_token_in_logs();
  // The task's event codes come from the external send, whose tests show them.
  ASSERT_EQ(tasks_.size(), 1u);
  EXPECT_EQ(tasks_[0].message_id, "m1");
  ASSERT_EQ(tasks_[0].events.size(), 2u);
  EXPECT_EQ(tasks_[0].events[0].message,
            "Tessik sent an outbound A2A message to " + node_->url("/a2a"));
  EXPECT_TRUE(tasks_[0].events[1].message.starts_with("External A2A HTTP status 200 body="))
      << tasks_[0].events[1].message;
}

TEST_F(RemoteHttpsNode, HostedRelayNamesTheTargetNodeAndLogsItsTask) {
  test::write_node_n1(env_.state_dir() / "registry" / "nodes.tsv",
                      {.transport = "a2a-relay", .api_url = node_->url("/a2a"), .secret = kToken});
  const DeliveryResult result = send();
  EXPECT_TRUE(result.accepted) << result.error;
  EXPECT_EQ(result.method, "a2a_jsonrpc_hosted_relay");
  EXPECT_EQ(card_hits_, 0);  // the relay is not the node: no card preflight
  EXPECT_EQ(rpc_target_node_, "n1");
  EXPECT_EQ(rpc_accept_, "application/json");
  EXPECT_EQ(rpc_authorization_, std::string("Bearer ") + kToken);
  EXPECT_NE(result.evidence.find("relay_url=" + node_->url("/a2a") + " target_node=n1"),
            std::string::npos)
      << result.evidence;
  ASSERT_EQ(tasks_.size(), 1u);
  EXPECT_EQ(tasks_[0].events[0].message, "Tessik sent an outbound A2A message to a2a-relay:n1");

  test::write_node_n1(env_.state_dir() / "registry" / "nodes.tsv",
                      {.transport = "a2a-relay", .api_url = node_->url("/a2a"), .secret = "123"});
  EXPECT_EQ(send().error, "hosted A2A relay requires relay api_url and durable relay access token");
  EXPECT_EQ(rpc_hits_, 1);
  expect_no_token_in_logs();
}

TEST_F(RemoteHttpsNode, FailedCardPreflightFallsBackToTheLegacyApi) {
  write_node("api", true);
  card_status_ = 404;
  const DeliveryResult result = send();
  EXPECT_TRUE(result.accepted) << result.error;
  EXPECT_EQ(result.method, "legacy_api_v1_messages");
  EXPECT_EQ(card_hits_, 1);
  EXPECT_EQ(rpc_hits_, 0);
  EXPECT_EQ(legacy_hits_, 1);
  EXPECT_EQ(legacy_body_,
            R"({"to":"bob","body":"hello bob","from":"alice","from_node":"local","strict":false})");
  const auto attempts = test::read_events(env_.state_dir() / "logs" / "delivery.jsonl",
                                          "remote_transport_attempt");
  ASSERT_EQ(attempts.size(), 2u);
  EXPECT_EQ(attempts[0]["error"], "remote A2A Agent Card preflight returned HTTP 404");
  EXPECT_EQ(attempts[0]["transport_unavailable"], "true");
  expect_no_token_in_logs();
  // The A2A attempt's task names the card it asked for; how the legacy success supersedes it
  // is the plan task tests'.
  ASSERT_EQ(tasks_.size(), 1u);
  ASSERT_EQ(tasks_[0].events.size(), 2u);
  EXPECT_EQ(tasks_[0].events[0].message,
            "remote A2A Agent Card preflight returned HTTP 404 card_url=" +
                node_->url("/a2a/.well-known/agent.json"));
}

TEST_F(RemoteHttpsNode, UnusableCardCountsAsAFailedPreflight) {
  write_node("api", true);
  card_body_ = R"({"name":"node","url":"https://127.0.0.1/a2a","protocolVersion":"2.0"})";
  const DeliveryResult result = send();
  EXPECT_TRUE(result.accepted) << result.error;
  EXPECT_EQ(result.method, "legacy_api_v1_messages");
  EXPECT_EQ(rpc_hits_, 0);
  const auto attempts = test::read_events(env_.state_dir() / "logs" / "delivery.jsonl",
                                          "remote_transport_attempt");
  ASSERT_EQ(attempts.size(), 2u);
  EXPECT_TRUE(attempts[0]["error"].get<std::string>().starts_with(
      "remote A2A Agent Card preflight failed: Agent Card did not declare"))
      << attempts[0]["error"];
}

TEST_F(RemoteHttpsNode, FailedSendAfterThePreflightDoesNotFallBack) {
  write_node("api", true);
  rpc_status_ = 500;
  const DeliveryResult result = send();
  EXPECT_FALSE(result.accepted);
  EXPECT_EQ(result.error, "remote A2A request returned HTTP 500");
  ASSERT_EQ(tasks_.size(), 1u);
  EXPECT_EQ(tasks_[0].state, "TASK_STATE_FAILED");
  EXPECT_EQ(tasks_[0].error_code, "TESSIK_EXTERNAL_A2A_HTTP_STATUS");
  EXPECT_EQ(tasks_[0].error_message, "External A2A endpoint returned HTTP status 500");
  EXPECT_EQ(rpc_hits_, 1);
  EXPECT_EQ(legacy_hits_, 0);  // the blocked fallback's evidence: the fallback rule tests
  expect_no_token_in_logs();
}

TEST_F(RemoteHttpsNode, DisabledNodeIsNeverContacted) {
  write_node("api", false);
  const DeliveryResult result = send();
  EXPECT_FALSE(result.accepted);
  EXPECT_EQ(result.error, "remote node is disabled: n1");
  EXPECT_EQ(result.evidence, "disabled nodes are never contacted");
  EXPECT_EQ(card_hits_ + rpc_hits_ + legacy_hits_, 0);
  EXPECT_TRUE(tasks_.empty());
}

TEST_F(RemoteHttpsNode, PlainHttpAndPairingCodesAreRefusedBeforeAnyRequest) {
  const auto nodes = env_.state_dir() / "registry" / "nodes.tsv";
  test::write_node_n1(nodes, {.transport = "a2a", .api_url = "http://127.0.0.1:1/a2a",
                              .secret = "TSKT-x"});
  EXPECT_EQ(send().error, "direct inter-node A2A requires an HTTPS api_url");
  test::write_node_n1(nodes, {.transport = "a2a", .api_url = node_->url("/a2a"),
                              .secret = "123-456"});
  EXPECT_EQ(send().error,
            "remote node stores a one-time pairing code, not a durable access token; complete "
            "pairing first");
  EXPECT_EQ(card_hits_ + rpc_hits_ + legacy_hits_, 0);
}

}  // namespace
}  // namespace tessik
