// Credentials used for outbound sends never come to rest: after real delivery workers sent with
// a bearer token, OAuth client credentials, an OAuth access token and a remote node's access
// token, no file the sends left behind (logs, task log, evidence, temporary files) holds any
// of them.
#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "pipeline/delivery_request.h"
#include "registry/local_secrets.h"
#include "state/state_dir.h"
#include "support/build_paths.h"
#include "support/command_run.h"
#include "support/delivery_env.h"
#include "support/loopback_http_server.h"
#include "support/registry_rows.h"
#include "support/remote_nodes.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

namespace fs = std::filesystem;

constexpr char kBearer[] = "bearer-9f1e7c0d";
constexpr char kClientId[] = "client-7a21";
constexpr char kClientSecret[] = "client-secret-55d2";
constexpr char kAccessToken[] = "access-token-3b8a";
constexpr char kMintedToken[] = "minted-token-c41d";
constexpr char kNodeToken[] = "TSKT-node-token-e6f0";

class OutboundCredentials : public ::testing::Test {
 protected:
  void SetUp() override {
    scratch_ = test::use_delivery_executable(env_, TESSIK_BINARY);
    env_.set("NO_PROXY", "*");
    env_.set("EXT_BEARER", kBearer);
    env_.set("EXT_ID", kClientId);
    env_.set("EXT_SECRET", kClientSecret);
    env_.set("EXT_ACCESS", kAccessToken);
    peer_ = test::make_trusted_https_server(env_.root() / "server", env_.state_dir());
    serve();
    peer_->start("127.0.0.1", "https");
  }

  void serve() {
    httplib::Server& http = peer_->server();
    http.Post("/token", [this](const httplib::Request& request, httplib::Response& reply) {
      remember(request);
      // Basic authentication is refused, so the credentials must travel in the body too.
      if (!request.get_header_value("Authorization").empty()) {
        reply.status = 401;
        return;
      }
      reply.set_content(std::string(R"({"access_token":")") + kMintedToken + "\"}",
                        "application/json");
    });
    http.Post("/agent", [this](const httplib::Request& request, httplib::Response& reply) {
      remember(request);
      reply.set_content(R"({"jsonrpc":"2.0","id":"1","result":{"task":{"id":"r1",)"
                        R"("status":{"state":"TASK_STATE_WORKING"}}}})",
                        "application/json");
    });
    // The node's card is missing, so its "api" plan falls back to the legacy API.
    http.Post("/node/v1/messages", [this](const httplib::Request& request,
                                          httplib::Response& reply) {
      remember(request);
      reply.set_content(R"({"state":"accepted_by_tessik"})", "application/json");
    });
  }

  void remember(const httplib::Request& request) {
    std::lock_guard<std::mutex> lock(mutex_);
    seen_.push_back(request.path + " " + request.get_header_value("Authorization") + " " +
                    request.body);
  }

  AgentRecord external(const std::string& id, std::vector<std::string> auth) {
    AgentRecord row = test::ready_row(id, id, "a2a", peer_->url("/agent"));
    row.aliases = std::move(auth);
    row.aliases.push_back("a2a:protocol-binding=JSONRPC");
    row.aliases.push_back("a2a:protocol-version=1.0");
    return row;
  }

  // Runs one real delivery worker for `target` and returns its result line.
  nlohmann::json deliver(const AgentRecord& target) {
    DeliveryRequest request;
    request.message_id = "m-" + target.agent_id;
    request.target = target;
    request.sender.resolved = true;
    request.sender.sender = "alice";
    request.sender.node_id = "local";
    request.final_visible_body = "hello " + target.agent_id;
    const fs::path file = delivery_request_path(request.message_id);
    write_delivery_request(file, request, kDeliveryModeDeliver);
    const test::CommandRun run =
        test::run_tessik(scratch_, "delivery-worker --request " + test::shell_quote(file.string()));
    const nlohmann::json line = nlohmann::json::parse(run.out, nullptr, false);
    return line.is_object() ? line : nlohmann::json{{"output", run.out + run.err}};
  }

  std::vector<std::string> seen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }

  test::TempEnv env_;
  fs::path scratch_;
  std::unique_ptr<test::LoopbackHttpServer> peer_;
  std::mutex mutex_;
  std::vector<std::string> seen_;
};

bool any_contains(const std::vector<std::string>& lines, const std::string& text) {
  for (const std::string& line : lines) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

TEST_F(OutboundCredentials, NoSecretReachesAnyFileTheSendsLeave) {
  const std::vector<AgentRecord> rows = {
      external("ext-bearer", {"a2a:auth-scheme=http-bearer", "a2a:bearer-token-env=EXT_BEARER"}),
      external("ext-oauth", {"a2a:auth-scheme=oauth2", "a2a:oauth-client-id-env=EXT_ID",
                             "a2a:oauth-client-secret-env=EXT_SECRET",
                             "a2a:oauth-token-url=" + peer_->url("/token")}),
      external("ext-access", {"a2a:auth-scheme=oidc", "a2a:oauth-access-token-env=EXT_ACCESS"})};
  test::write_registry(agents_registry_path(), rows);
  std::string error;
  const std::string stored_token =
      protect_local_secret(kNodeToken, node_pairing_entropy("n1"), error);
  ASSERT_EQ(error, "");
  test::write_node_n1(nodes_registry_path(),
                      {.transport = "api", .api_url = peer_->url("/node"), .secret = stored_token});
  AgentRecord bob = test::ready_row("bob-n1", "bob", "remote", "bob");
  bob.node_id = "n1";

  for (const AgentRecord& target : {rows[0], rows[1], rows[2], bob}) {
    const nlohmann::json result = deliver(target);
    EXPECT_EQ(result.value("accepted", false), true) << target.agent_id << ": " << result.dump();
  }

  // Every credential was really used, so its absence below means something.
  const std::vector<std::string> requests = seen();
  const std::string basic = base64_encode(std::string(kClientId) + ":" + kClientSecret);
  EXPECT_TRUE(any_contains(requests, std::string("/agent Bearer ") + kBearer));
  EXPECT_TRUE(any_contains(requests, "/token Basic " + basic));
  EXPECT_TRUE(any_contains(requests, std::string("client_secret=") + kClientSecret));
  EXPECT_TRUE(any_contains(requests, std::string("/agent Bearer ") + kMintedToken));
  EXPECT_TRUE(any_contains(requests, std::string("/agent Bearer ") + kAccessToken));
  EXPECT_TRUE(any_contains(requests, std::string("/node/v1/messages Bearer ") + kNodeToken));

  // The sends left their records: four outbound tasks and the workers' logs.
  const fs::path task_log = env_.state_dir() / "a2a" / "tasks.jsonl";
  ASSERT_TRUE(fs::exists(task_log));
  const std::string tasks = test::read_file(task_log);
  EXPECT_NE(tasks.find("superseded_by_legacy_success"), std::string::npos);
  EXPECT_EQ(std::count(tasks.begin(), tasks.end(), '\n'), 4);
  ASSERT_TRUE(fs::exists(delivery_log_path()));

  const std::vector<std::string> secrets = {kBearer,     kClientSecret, kAccessToken,
                                            kMintedToken, kNodeToken,    basic};
  std::size_t files = 0;
  for (const fs::path& root : {env_.state_dir(), env_.temp_dir(), scratch_}) {
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
      if (!entry.is_regular_file()) continue;
      ++files;
      const std::string text = test::read_file(entry.path());
      for (const std::string& secret : secrets) {
        EXPECT_EQ(text.find(secret), std::string::npos) << secret << " in " << entry.path();
      }
    }
  }
  EXPECT_GT(files, 3u);
}

}  // namespace
}  // namespace tessik
