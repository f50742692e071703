// The API-service stand-in's request path without HTTP: the local token file, envelopes, and the
// answers it gives before or instead of reaching a broker.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <thread>

#include "app/api_service.h"
#include "base/text.h"
#include "platform/local_socket.h"
#include "platform/stop_signal.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

using nlohmann::json;

TEST(ApiServiceToken, CreatedOnceOwnerOnlyAndReused) {
  test::TempEnv env;
  const std::filesystem::path path = env.state_dir() / "a2a" / "local-token";
  bool created = false;
  const std::string token = ensure_local_token(path, created);
  EXPECT_TRUE(created);
  EXPECT_EQ(token.size(), 64u);
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(ensure_local_token(path, created), token);
  EXPECT_FALSE(created);

  std::ofstream(path, std::ios::trunc) << "  \n";
  const std::string replaced = ensure_local_token(path, created);
  EXPECT_TRUE(created);
  EXPECT_NE(replaced, token);
}

// The broker reads the stand-in's compact envelope without a JSON tree; the same document
// laid out differently goes through the general reader. Both must give back what was built.
TEST(ApiServiceEnvelope, TheCompactAndTheGeneralReaderAgreeOnWhatWasBuilt) {
  const auto same = [](const UserBrokerEnvelope& a, const UserBrokerEnvelope& b) {
    EXPECT_EQ(a.valid, b.valid);
    EXPECT_EQ(a.error, b.error);
    EXPECT_EQ(a.request.method, b.request.method);
    EXPECT_EQ(a.request.target, b.request.target);
    EXPECT_EQ(a.request.headers, b.request.headers);
    EXPECT_EQ(a.request.body, b.request.body);
    EXPECT_EQ(a.request.endpoint_url, b.request.endpoint_url);
    EXPECT_EQ(a.principal.authenticated, b.principal.authenticated);
    EXPECT_EQ(a.principal.client_id, b.principal.client_id);
    EXPECT_EQ(a.principal.principal_type, b.principal.principal_type);
    EXPECT_EQ(a.principal.sender_agent, b.principal.sender_agent);
    EXPECT_EQ(a.principal.sender_node, b.principal.sender_node);
    EXPECT_EQ(a.principal.scopes, b.principal.scopes);
  };
  GatewayRequest request;
  request.method = "GET";
  request.target = "/a2a/tasks/t-1?x=\"y\"";
  request.headers = {{"X-Bytes", "bad \xff byte"},
                     {"X-Controls", "tab\there \x01"},
                     {"X-Unicode", "\xe2\x82\xac \xf0\x9f\x98\x80"}};
  request.body = "line\nbreak \\ back \"quote\" \u00e9";
  request.endpoint_url = "http://127.0.0.1:1/a2a";
  Principal principal;
  principal.authenticated = true;
  principal.client_id = "c";
  principal.principal_type = "inline";
  principal.sender_agent = "local-a2a-client";
  for (const std::vector<std::string>& scopes :
       std::vector<std::vector<std::string>>{{}, {"task.read"}, {"a", "b\\c"}}) {
    principal.scopes = scopes;
    const std::string compact = build_broker_envelope(request, principal);
    const std::string spaced = json::parse(compact).dump(1);
    ASSERT_NE(compact, spaced);
    const UserBrokerEnvelope fast = parse_user_broker_envelope(compact);
    ASSERT_TRUE(fast.valid) << fast.error;
    same(fast, parse_user_broker_envelope(spaced));
    EXPECT_EQ(fast.request.method, request.method);
    EXPECT_EQ(fast.request.target, request.target);
    EXPECT_EQ(fast.request.headers.at("X-Controls"), request.headers.at("X-Controls"));
    EXPECT_EQ(fast.request.headers.at("X-Unicode"), request.headers.at("X-Unicode"));
    EXPECT_EQ(fast.request.body, request.body);
    EXPECT_EQ(fast.request.endpoint_url, request.endpoint_url);
    EXPECT_EQ(fast.principal.client_id, "c");
    EXPECT_EQ(fast.principal.principal_type, "inline");
    EXPECT_EQ(fast.principal.sender_agent, "local-a2a-client");
    EXPECT_EQ(fast.principal.scopes, scopes);
  }
  // Validation is the same on both paths.
  principal.client_id = "  ";
  const std::string compact = build_broker_envelope(request, principal);
  const UserBrokerEnvelope refused = parse_user_broker_envelope(compact);
  EXPECT_FALSE(refused.valid);
  same(refused, parse_user_broker_envelope(json::parse(compact).dump(1)));
}

TEST(ApiServiceResponse, OnlyWellFormedDocumentsAreAccepted) {
  const auto response = parse_broker_response(
      R"({"body":"x","contentType":"text/plain","headers":{"ETag":"\"e\"","n":1},"status":304,"version":1})");
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 304);
  EXPECT_EQ(response->body, "x");
  EXPECT_EQ(response->content_type, "text/plain");
  EXPECT_EQ(response->headers, (std::map<std::string, std::string>{{"ETag", "\"e\""}}));
  EXPECT_FALSE(parse_broker_response("not json"));
  EXPECT_FALSE(parse_broker_response(R"({"body":"x","contentType":"t","headers":{}})"));
  EXPECT_FALSE(parse_broker_response(R"({"body":1,"contentType":"t","headers":{},"status":200})"));
}

class ApiServiceForwarding : public ::testing::Test {
 protected:
  ApiServiceForwarding() {
    settings_.base_url = "http://127.0.0.1:1";
    settings_.broker_socket = env_.pipe_dir() / "Tessik.UserBroker.999999";  // nobody listens
    settings_.local_token = "local-secret";
    settings_.broker_timeout_ns = 5'000'000'000;
  }
  GatewayResponse forward(const std::string& method, const std::string& target,
                          std::map<std::string, std::string> headers = {}, std::string body = "") {
    GatewayRequest request;
    request.method = method;
    request.target = target;
    request.headers = std::move(headers);
    request.body = std::move(body);
    return forward_api_request(settings_, request);
  }
  static std::string local_code(const GatewayResponse& response) {
    return json::parse(response.body)["error"]["details"][0]["metadata"]["localCode"];
  }

  test::TempEnv env_;
  ApiServiceSettings settings_;
};

TEST_F(ApiServiceForwarding, OnlyThePublicCardPassesWithoutAValidToken) {
  // Reaching the broker (absent here) proves the request was forwarded.
  for (const char* target :
       {"/a2a/.well-known/agent-card.json", "/a2a/agent-card?x=1", "/.well-known/agent.json"}) {
    const GatewayResponse response = forward("GET", target, {{"Authorization", "Bearer wrong"}});
    EXPECT_EQ(response.status, 503) << target;
    EXPECT_EQ(local_code(response), "TESSIK_API_SERVICE_BROKER_UNAVAILABLE");
  }
  GatewayResponse response = forward("GET", "/a2a/agents");
  EXPECT_EQ(response.status, 401);
  EXPECT_EQ(local_code(response), "TESSIK_A2A_AUTH_REQUIRED");
  EXPECT_EQ(response.headers.at("WWW-Authenticate"), "Bearer");
  response = forward("GET", "/a2a/agents/x/agent-card", {{"authorization", "Bearer nope"}});
  EXPECT_EQ(local_code(response), "TESSIK_A2A_AUTH_INVALID");
  response = forward("POST", "/a2a/.well-known/agent-card.json");
  EXPECT_EQ(response.status, 401);
  // A valid token goes through to the broker for any route.
  response = forward("GET", "/a2a/agents", {{"Authorization", "Bearer local-secret"}});
  EXPECT_EQ(response.status, 503);
}

TEST_F(ApiServiceForwarding, OversizedAndNonUtf8BodiesAreRefusedBeforeForwarding) {
  const std::map<std::string, std::string> auth = {{"Authorization", "Bearer local-secret"}};
  GatewayResponse response =
      forward("POST", "/a2a/message:send", auth, std::string(kApiServiceMaxBodyBytes + 1, 'a'));
  EXPECT_EQ(response.status, 413);
  // Within the body limit, but escaping makes the envelope larger than a frame may be.
  response =
      forward("POST", "/a2a/message:send", auth, std::string(kApiServiceMaxBodyBytes - 16, '\x01'));
  EXPECT_EQ(response.status, 413);
  response = forward("POST", "/a2a/message:send", auth, "\xff\xfe");
  EXPECT_EQ(response.status, 400);
  EXPECT_EQ(local_code(response), "TESSIK_API_SERVICE_BODY_INVALID");
}

// A listener at the broker's socket name that records how many bytes reach it.
class RecordingListener {
 public:
  explicit RecordingListener(const std::string& name) {
    EXPECT_TRUE(stop_.open({}, false));
    EXPECT_EQ(server_.listen(name), platform::ListenStatus::listening) << server_.error();
    thread_ = std::thread([this] {
      platform::LocalConnection connection;
      const std::int64_t deadline = monotonic_now_ns() + 10'000'000'000;
      if (!server_.wait_for_client(deadline, stop_, connection).completed()) return;
      char buffer[4096];
      std::size_t total = 0;
      // Whatever arrives until the client gives up: the frame header alone is 4 bytes.
      while (true) {
        const platform::PipeIoResult read =
            connection.read_exact(buffer, 1, monotonic_now_ns() + 2'000'000'000, &stop_);
        if (!read.completed()) break;
        ++total;
      }
      received_ = static_cast<long>(total);
    });
  }
  // Joins the listener, waking it with an empty client of our own when nothing connected.
  long finish() {
    platform::LocalConnection wake;
    platform::connect_local_socket(server_.path(), monotonic_now_ns() + 1'000'000'000, wake);
    wake.close();
    thread_.join();
    return received_;
  }

 private:
  platform::StopSignal stop_;
  platform::LocalSocketServer server_;
  std::thread thread_;
  long received_ = -1;
};

TEST_F(ApiServiceForwarding, NothingIsSentToASocketThatIsNotTheBrokerUsers) {
  const std::map<std::string, std::string> auth = {{"Authorization", "Bearer local-secret"}};
  const auto attempt = [&](const std::function<void()>& arrange) {
    RecordingListener listener(settings_.broker_socket.filename().string());
    arrange();
    const GatewayResponse response = forward("GET", "/a2a/agents", auth);
    std::filesystem::permissions(env_.pipe_dir(), std::filesystem::perms::owner_all);
    if (::geteuid() == 0) {
      EXPECT_EQ(::chown(env_.pipe_dir().c_str(), 0, 0), 0);
    }
    settings_.broker_uid = ::geteuid();
    const long received = listener.finish();
    return std::make_pair(response, received);
  };

  // The real broker user, in a private directory: the request goes out.
  auto [response, received] = attempt([] {});
  EXPECT_EQ(response.status, 502);
  EXPECT_GT(received, 4);

  // A directory others may enter: anyone could have put the socket there.
  std::tie(response, received) = attempt([&] {
    std::filesystem::permissions(env_.pipe_dir(), std::filesystem::perms::others_exec,
                                 std::filesystem::perm_options::add);
  });
  EXPECT_EQ(response.status, 503);
  EXPECT_EQ(local_code(response), "TESSIK_API_SERVICE_BROKER_UNTRUSTED");
  EXPECT_NE(response.body.find("mode is 0701"), std::string::npos) << response.body;
  EXPECT_EQ(received, 0);

  if (::geteuid() != 0) GTEST_SKIP() << "changing owners needs root";
  // The directory belongs to another user, whose listener would see every bearer token.
  std::tie(response, received) =
      attempt([&] { ASSERT_EQ(::chown(env_.pipe_dir().c_str(), 4242, 4242), 0); });
  EXPECT_EQ(response.status, 503);
  EXPECT_NE(response.body.find("owned by uid 4242"), std::string::npos) << response.body;
  EXPECT_EQ(received, 0);

  // The directory is the broker user's, but the process listening there is not.
  std::tie(response, received) = attempt([&] {
    ASSERT_EQ(::chown(env_.pipe_dir().c_str(), 4242, 4242), 0);
    settings_.broker_uid = 4242;
  });
  EXPECT_EQ(response.status, 503);
  EXPECT_EQ(local_code(response), "TESSIK_API_SERVICE_BROKER_UNTRUSTED");
  EXPECT_NE(response.body.find("runs as uid 0, not 4242"), std::string::npos) << response.body;
  EXPECT_EQ(received, 0);
}

}  // namespace
}  // namespace tessik
