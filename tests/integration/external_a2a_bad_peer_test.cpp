// External A2A peers and remote nodes that misbehave at the connection level: one that closes
// at once, one that answers bytes that are not HTTP, one that never answers. Each attempt ends
// as a failed result with the transport's reason, bounded by the HTTP client's own time-outs.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "providers/external_a2a/agent_card.h"
#include "providers/external_a2a/external_send.h"
#include "providers/remote/remote_delivery.h"
#include "support/jsonl_reader.h"
#include "support/remote_nodes.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

enum class PeerMode { close_at_once, garbage, silent };

// A loopback TCP listener serving every connection in `mode` until destroyed.
class BadPeer {
 public:
  explicit BadPeer(PeerMode mode) : mode_(mode) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(listener_, 8), 0);
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~BadPeer() {
    stop_ = true;
    thread_.join();
    ::close(listener_);
  }
  std::string url(const std::string& path, const std::string& scheme = "http") const {
    return scheme + "://127.0.0.1:" + std::to_string(port_) + path;
  }

 private:
  void serve() {
    std::vector<int> held;
    while (!stop_) {
      pollfd ready{listener_, POLLIN, 0};
      if (::poll(&ready, 1, 50) <= 0) continue;
      const int connection = ::accept(listener_, nullptr, nullptr);
      if (connection < 0) continue;
      if (mode_ == PeerMode::garbage) {
        char buffer[4096];
        (void)::recv(connection, buffer, sizeof buffer, 0);
        const std::string junk = "\x01\x02 not http at all\r\n\r\n";
        (void)::send(connection, junk.data(), junk.size(), MSG_NOSIGNAL);
      }
      if (mode_ == PeerMode::silent) {
        held.push_back(connection);
      } else {
        ::close(connection);
      }
    }
    for (const int connection : held)
      ::close(connection);
  }

  PeerMode mode_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

DeliveryResult send_to(const std::string& url) {
  DeliveryRequest request;
  request.message_id = "m-bad";
  request.target.agent_id = "ext";
  request.target.provider = "a2a";
  request.target.provider_session_id = url;
  request.target.aliases = {"protocol-binding=JSONRPC", "protocol-version=1.0"};
  request.final_visible_body = "hello";
  return send_external_message(request);
}

TEST(ExternalA2aBadPeer, ClosingAndGarblingPeersFailTheAttempt) {
  test::TempEnv env;
  for (const PeerMode mode : {PeerMode::close_at_once, PeerMode::garbage}) {
    BadPeer peer(mode);
    const DeliveryResult sent = send_to(peer.url("/rpc"));
    EXPECT_EQ(sent.state, "failed");
    EXPECT_FALSE(sent.accepted);
    EXPECT_EQ(sent.method, "a2a_jsonrpc_send_message");
    EXPECT_NE(sent.error.find("curl_easy_perform failed"), std::string::npos) << sent.error;
    const AgentCardFetch fetched = fetch_agent_card(peer.url("/agent"), {});
    EXPECT_EQ(fetched.card.error.rfind("Agent Card fetch failed: ", 0), 0u) << fetched.card.error;
    // A transport failure is final: the older card path is not tried.
    EXPECT_EQ(fetched.card_url, peer.url("/agent/.well-known/agent-card.json"));
  }
}

TEST(ExternalA2aBadPeer, SilentPeerEndsAtTheClientTimeout) {
  test::TempEnv env;
  BadPeer peer(PeerMode::silent);
  const DeliveryResult sent = send_to(peer.url("/rpc"));
  EXPECT_EQ(sent.state, "failed");
  EXPECT_EQ(sent.error.rfind("curl_easy_perform failed: 28 ", 0), 0u) << sent.error;  // time-out
}

TEST(ExternalA2aBadPeer, GarblingNodeFailsItsPreflightAndItsLegacyFallback) {
  test::TempEnv env;
  BadPeer peer(PeerMode::garbage);
  test::write_node_n1(env.state_dir() / "registry" / "nodes.tsv",
                      {.transport = "api", .api_url = peer.url("/a2a", "https"),
                       .secret = "TSKT-garbled"});
  const DeliveryResult result = deliver_to_remote_node(test::delivery_to_bob_on_n1());
  EXPECT_FALSE(result.accepted);
  EXPECT_EQ(result.method, "legacy_api_v1_messages");
  EXPECT_TRUE(result.error.starts_with("legacy API request failed: ")) << result.error;
  const auto attempts = test::read_events(env.state_dir() / "logs" / "delivery.jsonl",
                                          "remote_transport_attempt");
  ASSERT_EQ(attempts.size(), 2u);
  EXPECT_TRUE(attempts[0]["error"].get<std::string>().starts_with(
      "remote A2A Agent Card preflight failed: Agent Card fetch failed: "))
      << attempts[0]["error"];
  EXPECT_EQ(attempts[0]["migration_fallback_safe"], "true");
}

}  // namespace
}  // namespace tessik
