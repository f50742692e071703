// The HTTP client against servers on the loopback interface: what goes on the wire, what
// comes back, and every response limit, redirect, proxy and pinning rule.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "platform/http_client.h"
#include "support/loopback_http_server.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

using LoopbackServer = test::LoopbackHttpServer;

// A bare TCP server for what httplib would hide or refuse: the raw request bytes, and
// answers that are late or malformed on purpose. Serves one connection.
class RawServer {
 public:
  explicit RawServer(std::function<std::string(const std::string&)> answer)
      : answer_(std::move(answer)) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), length), 0);
    EXPECT_EQ(listen(listener_, 4), 0);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    EXPECT_EQ(pipe(stop_), 0);
    thread_ = std::thread([this] { serve(); });
  }
  ~RawServer() {
    (void)!write(stop_[1], "x", 1);
    thread_.join();
    close(listener_);
    close(stop_[0]);
    close(stop_[1]);
  }
  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  // The request as received; read after the client call returned.
  std::string request() const { return request_; }

 private:
  bool wait_readable(int fd) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {stop_[0], POLLIN, 0}};
    return poll(fds, 2, -1) > 0 && (fds[1].revents & POLLIN) == 0;
  }
  void serve() {
    if (!wait_readable(listener_)) return;
    const int connection = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    char buffer[65536];
    while (request_.find("\r\n\r\n") == std::string::npos && wait_readable(connection)) {
      const ssize_t got = read(connection, buffer, sizeof buffer);
      if (got <= 0) break;
      request_.append(buffer, static_cast<std::size_t>(got));
    }
    const std::string answer = answer_(request_);
    if (!answer.empty()) {
      (void)!send(connection, answer.data(), answer.size(), MSG_NOSIGNAL);
    } else {
      wait_readable(connection);  // never answers: holds the connection until the end
      while (wait_readable(connection) && read(connection, buffer, sizeof buffer) > 0) {
      }
    }
    close(connection);
  }

  std::function<std::string(const std::string&)> answer_;
  int listener_ = -1;
  int port_ = 0;
  int stop_[2] = {-1, -1};
  std::string request_;
  std::thread thread_;
};

std::string ok_answer(const std::string& body) {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n\r\n" + body;
}

HttpRequestOptions direct() {
  HttpRequestOptions options;
  options.no_proxy = true;
  return options;
}

TEST(HttpLoopback, GetSendsItsHeadersInByteOrderAfterAccept) {
  RawServer server([](const std::string&) { return ok_answer("{\"ok\":true}"); });
  const HttpResponse response =
      http_get(server.url("/card?x=1"), {{"b", "2"}, {"B", "1"}, {"X-Tab", "a\tb"}}, direct());
  ASSERT_EQ(response.error, "");
  EXPECT_EQ(response.status_code, 200u);
  EXPECT_EQ(response.body, "{\"ok\":true}");
  const std::string request = server.request();
  EXPECT_EQ(request.rfind("GET /card?x=1 HTTP/1.1\r\n", 0), 0u) << request;
  EXPECT_NE(request.find("User-Agent: Tessik/0.1\r\n"), std::string::npos);
  const std::size_t accept = request.find("\r\nAccept: application/json\r\n");
  const std::size_t upper = request.find("\r\nB: 1\r\n");
  const std::size_t tab = request.find("\r\nX-Tab: a\tb\r\n");
  const std::size_t lower = request.find("\r\nb: 2\r\n");
  ASSERT_NE(accept, std::string::npos);
  EXPECT_LT(accept, upper);
  EXPECT_LT(upper, tab);
  EXPECT_LT(tab, lower);
  EXPECT_NE(lower, std::string::npos);
  EXPECT_EQ(request.find("Expect:"), std::string::npos);
  EXPECT_EQ(request.find("Content-Type"), std::string::npos);

  // As many headers as a request may carry all reach the server.
  RawServer many([](const std::string&) { return ok_answer("{}"); });
  HttpHeaders hundred;
  for (int i = 0; i < 100; ++i) hundred["X-H" + std::to_string(1000 + i)] = "v";
  ASSERT_EQ(http_get(many.url("/"), hundred, direct()).error, "");
  EXPECT_NE(many.request().find("\r\nX-H1000: v\r\n"), std::string::npos);
  EXPECT_NE(many.request().find("\r\nX-H1099: v\r\n"), std::string::npos);
}

TEST(HttpLoopback, PostCarriesBodyAndContentTypeAndAnErrorStatusIsNoError) {
  LoopbackServer loopback;
  std::string seen_type, seen_body, seen_accept;
  loopback.server().Post("/send", [&](const httplib::Request& request, httplib::Response& reply) {
    seen_type = request.get_header_value("Content-Type");
    seen_accept = request.get_header_value("Accept");
    seen_body = request.body;
    reply.status = 422;
    reply.set_content("{\"error\":\"no\"}", "application/json");
  });
  loopback.start();
  const HttpResponse response = http_post(loopback.url("/send"), "{\"a\":1}", {}, "", direct());
  EXPECT_EQ(response.error, "");
  EXPECT_EQ(response.status_code, 422u);
  EXPECT_EQ(response.body, "{\"error\":\"no\"}");
  EXPECT_EQ(seen_type, "application/json");
  EXPECT_EQ(seen_accept, "application/json");
  EXPECT_EQ(seen_body, "{\"a\":1}");

  const std::string large(1048576, 'z');
  const HttpResponse typed =
      http_post(loopback.url("/send"), large, {}, "text/plain; charset=utf-8", direct());
  EXPECT_EQ(typed.error, "");
  EXPECT_EQ(seen_type, "text/plain; charset=utf-8");
  EXPECT_EQ(seen_body.size(), large.size());
}

TEST(HttpLoopback, ResponseBodyLimitIsExact) {
  LoopbackServer loopback;
  loopback.server().Get(R"(/bytes/(\d+))", [](const httplib::Request& request, httplib::Response& reply) {
    reply.set_content(std::string(std::stoul(request.matches[1]), 'b'), "application/octet-stream");
  });
  loopback.start();
  const HttpResponse exact = http_get(loopback.url("/bytes/4194304"), {}, direct());
  EXPECT_EQ(exact.error, "");
  EXPECT_EQ(exact.body.size(), 4194304u);
  for (const char* size : {"4194305", "5242880"}) {
    const HttpResponse over = http_get(loopback.url(std::string("/bytes/") + size), {}, direct());
    EXPECT_EQ(over.error, "HTTP response body exceeds 4 MiB") << size;
    EXPECT_EQ(over.status_code, 200u);  // the status had been read already
    EXPECT_TRUE(over.body.empty());
  }
}

TEST(HttpLoopback, ResponseHeaderBlockLimit) {
  RawServer server([](const std::string&) {
    return "HTTP/1.1 200 OK\r\nX-Fill: " + std::string(33000, 'h') +
           "\r\nContent-Length: 2\r\n\r\n{}";
  });
  const HttpResponse response = http_get(server.url("/"), {}, direct());
  EXPECT_EQ(response.error, "HTTP response headers exceed 32 KiB");
  EXPECT_EQ(response.status_code, 0u);
  EXPECT_TRUE(response.body.empty());
}

TEST(HttpLoopback, RedirectsFollowedUnlessDisabled) {
  LoopbackServer loopback;
  std::atomic<int> target_hits{0};
  loopback.server().Get("/from", [](const httplib::Request&, httplib::Response& reply) {
    reply.set_redirect("/to", 302);
  });
  loopback.server().Get("/to", [&](const httplib::Request&, httplib::Response& reply) {
    ++target_hits;
    reply.set_content("arrived", "text/plain");
  });
  loopback.start();
  HttpRequestOptions options = direct();
  options.disable_redirects = true;
  const HttpResponse stopped = http_get(loopback.url("/from"), {}, options);
  EXPECT_EQ(stopped.error, "");
  EXPECT_EQ(stopped.status_code, 302u);
  EXPECT_EQ(target_hits.load(), 0);

  const HttpResponse followed = http_get(loopback.url("/from"), {}, direct());
  EXPECT_EQ(followed.status_code, 200u);
  EXPECT_EQ(followed.body, "arrived");
  EXPECT_EQ(target_hits.load(), 1);
}

TEST(HttpLoopback, ServerThatNeverAnswersEndsInAnError) {
  RawServer server([](const std::string&) { return std::string(); });
  const HttpResponse response = http_get(server.url("/hang"), {}, direct());
  EXPECT_EQ(response.status_code, 0u);
  EXPECT_NE(response.error.find("curl_easy_perform failed: 28 "), std::string::npos)
      << response.error;
  EXPECT_NE(server.request().find("GET /hang"), std::string::npos);
}

TEST(HttpLoopback, ProxyFromEnvironmentUnlessNoProxy) {
  test::TempEnv env;
  RawServer proxy([](const std::string&) { return ok_answer("from proxy"); });
  env.set("http_proxy", proxy.url(""));
  env.unset("no_proxy");
  env.unset("NO_PROXY");
  LoopbackServer loopback;
  loopback.server().Get("/", [](const httplib::Request&, httplib::Response& reply) {
    reply.set_content("direct", "text/plain");
  });
  loopback.start();
  EXPECT_EQ(http_get(loopback.url("/"), {}, direct()).body, "direct");
  const HttpResponse proxied = http_get(loopback.url("/"), {}, {});
  EXPECT_EQ(proxied.body, "from proxy");
  // A proxy receives the absolute URL.
  EXPECT_NE(proxy.request().find("GET " + loopback.url("/") + " HTTP/1.1"), std::string::npos);
}

TEST(HttpLoopback, PinnedPeerMustBeApprovedWhateverDnsSays) {
  LoopbackServer loopback;
  std::atomic<int> hits{0};
  loopback.server().Get("/", [&](const httplib::Request&, httplib::Response& reply) {
    ++hits;
    reply.set_content("pinned", "text/plain");
  });
  loopback.start();
  HttpRequestOptions options = direct();
  options.require_approved_remote_address = true;
  options.approved_addresses = {"10.9.8.7"};
  const HttpResponse refused = http_get(loopback.url("/"), {}, options);
  EXPECT_EQ(refused.error, "remote callback socket address was not in approved DNS result set");
  EXPECT_EQ(refused.status_code, 0u);
  EXPECT_EQ(hits.load(), 0);  // never connected

  // "localhost" resolves to 127.0.0.1, where the server listens; with only 127.0.0.2
  // approved the client goes to 127.0.0.2 (nothing listens there) and never to the server.
  options.approved_addresses = {"127.0.0.2"};
  const std::string by_name = "http://localhost:" + std::to_string(loopback.port()) + "/";
  const HttpResponse elsewhere = http_get(by_name, {}, options);
  EXPECT_NE(elsewhere.error.find("curl_easy_perform failed: 7 "), std::string::npos)
      << elsewhere.error;
  EXPECT_EQ(hits.load(), 0);

  // A name no DNS knows still reaches the approved address: resolution is pinned to it.
  options.approved_addresses = {" 127.0.0.1 "};
  const std::string unknown = "http://tessik-pinned.invalid:" + std::to_string(loopback.port()) + "/";
  const HttpResponse pinned = http_get(unknown, {}, options);
  EXPECT_EQ(pinned.error, "");
  EXPECT_EQ(pinned.body, "pinned");
  EXPECT_EQ(hits.load(), 1);
}

TEST(HttpLoopback, BracketedIpv6ApprovalMatchesTheIpv6Loopback) {
  LoopbackServer loopback;
  loopback.server().Get("/", [](const httplib::Request&, httplib::Response& reply) {
    reply.set_content("six", "text/plain");
  });
  loopback.start("::1");
  HttpRequestOptions options = direct();
  options.require_approved_remote_address = true;
  options.approved_addresses = {"[::1]"};
  const std::string url = "http://[::1]:" + std::to_string(loopback.port()) + "/";
  const HttpResponse response = http_get(url, {}, options);
  EXPECT_EQ(response.error, "");
  EXPECT_EQ(response.body, "six");
  options.approved_addresses = {"127.0.0.1"};
  EXPECT_EQ(http_get(url, {}, options).error,
            "remote callback socket address was not in approved DNS result set");
}

}  // namespace
}  // namespace tessik
