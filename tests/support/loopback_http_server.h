// An httplib server (plain or TLS) on a loopback address with a port of its own, served from
// a thread for the lifetime of the object. Header-only: only tests that link cpp-httplib
// include it.
#pragma once

#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "support/test_certificates.h"

namespace tessik::test {

class LoopbackHttpServer {
 public:
  explicit LoopbackHttpServer(std::unique_ptr<httplib::Server> server =
                                  std::make_unique<httplib::Server>())
      : server_(std::move(server)) {}
  ~LoopbackHttpServer() {
    server_->stop();
    if (thread_.joinable()) thread_.join();
  }
  LoopbackHttpServer(const LoopbackHttpServer&) = delete;
  LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

  httplib::Server& server() { return *server_; }

  // Binds to `host`, starts serving, and returns once the server runs. Register the
  // handlers first.
  void start(const std::string& host = "127.0.0.1", const std::string& scheme = "http") {
    host_ = host.find(':') == std::string::npos ? host : "[" + host + "]";
    scheme_ = scheme;
    port_ = server_->bind_to_any_port(host);
    ASSERT_GT(port_, 0);
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // Stopping a server that has not started running yet would leave its thread waiting.
    while (!server_->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::string url(const std::string& path) const {
    return scheme_ + "://" + host_ + ":" + std::to_string(port_) + path;
  }
  int port() const { return port_; }

 private:
  std::unique_ptr<httplib::Server> server_;
  std::string host_;
  std::string scheme_;
  int port_ = 0;
  std::thread thread_;
};

// A TLS server for 127.0.0.1 (not started) whose certificate the user of `state_dir` trusts:
// a fresh CA goes to <state_dir>/certs/Root, the server's certificate and key to `work_dir`.
inline std::unique_ptr<LoopbackHttpServer> make_trusted_https_server(
    const std::filesystem::path& work_dir, const std::filesystem::path& state_dir) {
  const TestCertificate ca =
      make_test_certificate({.common_name = "loopback CA", .certificate_authority = true});
  const TestCertificate server = make_test_certificate(
      {.common_name = "127.0.0.1", .extended_key_usage = "serverAuth",
       .subject_alt_names = "IP:127.0.0.1,DNS:localhost", .issuer = &ca});
  std::filesystem::create_directories(work_dir);
  std::filesystem::create_directories(state_dir / "certs" / "Root");
  std::ofstream(work_dir / "cert.pem", std::ios::binary) << server.certificate_pem;
  std::ofstream(work_dir / "key.pem", std::ios::binary) << server.key_pem;
  std::ofstream(state_dir / "certs" / "Root" / "ca.pem", std::ios::binary) << ca.certificate_pem;
  return std::make_unique<LoopbackHttpServer>(std::make_unique<httplib::SSLServer>(
      (work_dir / "cert.pem").c_str(), (work_dir / "key.pem").c_str()));
}

}  // namespace tessik::test
