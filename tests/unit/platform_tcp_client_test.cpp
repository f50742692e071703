// The plain TCP exchange against loopback listeners that answer, stay silent, or are absent.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "platform/tcp_client.h"

namespace tessik {
namespace {

// A loopback listener on a free port; `serve` runs once for the first connection.
class Listener {
 public:
  Listener() {
    handle_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(handle_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(handle_, 4);
    ::getsockname(handle_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~Listener() {
    if (thread_.joinable()) thread_.join();
    ::close(handle_);
  }
  template <typename Serve>
  void serve_once(Serve serve) {
    thread_ = std::thread([this, serve] {
      const int connection = ::accept(handle_, nullptr, nullptr);
      serve(connection);
      ::close(connection);
    });
  }
  std::uint16_t port() const { return port_; }

 private:
  int handle_ = -1;
  std::uint16_t port_ = 0;
  std::thread thread_;
};

std::string read_request(int connection) {
  std::string request;
  char buffer[512];
  while (request.find("\r\n\r\n") == std::string::npos) {
    const ssize_t n = ::recv(connection, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    request.append(buffer, static_cast<std::size_t>(n));
  }
  return request;
}

TEST(TcpExchange, SendsTheRequestAndStopsReadingOnceEnoughArrived) {
  Listener listener;
  std::string seen;
  listener.serve_once([&](int connection) {
    seen = read_request(connection);
    const std::string answer = "HTTP/1.1 204 No Content\r\nX: y\r\n\r\n";
    ::send(connection, answer.data(), answer.size(), 0);
    // Stays open: the client must stop at the line end it asked for, not wait for a close.
    char byte;
    ::recv(connection, &byte, 1, 0);
  });
  const platform::TcpExchangeResult result = platform::tcp_exchange(
      "127.0.0.1", listener.port(), "GET / HTTP/1.1\r\n\r\n", "\r\n", 4096, 1'000'000'000,
      5'000'000'000);
  EXPECT_TRUE(result.connected);
  EXPECT_EQ(result.error, "");
  EXPECT_TRUE(result.received.starts_with("HTTP/1.1 204 No Content\r\n")) << result.received;
  EXPECT_EQ(seen, "GET / HTTP/1.1\r\n\r\n");
}

TEST(TcpExchange, ASilentPeerEndsInAnErrorAndAnAbsentOneIsNotConnected) {
  Listener silent;
  silent.serve_once([](int connection) {
    read_request(connection);
    char byte;
    ::recv(connection, &byte, 1, 0);  // until the client gives up and closes
  });
  const platform::TcpExchangeResult waited = platform::tcp_exchange(
      "127.0.0.1", silent.port(), "GET / HTTP/1.1\r\n\r\n", "\r\n", 4096, 1'000'000'000,
      200'000'000);
  EXPECT_TRUE(waited.connected);
  EXPECT_EQ(waited.received, "");
  EXPECT_NE(waited.error, "");

  std::uint16_t closed_port = 0;
  { closed_port = Listener().port(); }  // bound a moment ago, nothing listens now
  const platform::TcpExchangeResult refused = platform::tcp_exchange(
      "127.0.0.1", closed_port, "GET / HTTP/1.1\r\n\r\n", "\r\n", 4096, 1'000'000'000,
      1'000'000'000);
  EXPECT_FALSE(refused.connected);
  EXPECT_NE(refused.error, "");
}

}  // namespace
}  // namespace tessik
