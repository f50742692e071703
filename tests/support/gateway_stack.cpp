// Starting the broker and the stand-in for end-to-end tests.
#include "support/gateway_stack.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "base/text.h"
#include "state/state_dir.h"
#include "support/build_paths.h"

namespace tessik::test {

double process_cpu_us(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::stringstream text;
  text << stat.rdbuf();
  const std::string line = text.str();
  std::istringstream fields(line.substr(line.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  // Fields 14 and 15 (utime, stime), counting from the pid as field 1.
  for (int index = 3; fields >> field && index <= 15; ++index) {
    if (index == 14 || index == 15) ticks += std::stod(field);
  }
  return ticks * 1e6 / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

std::uint16_t free_loopback_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof(address);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    throw std::runtime_error("could not find a free port");
  }
  ::close(fd);
  return ntohs(address.sin_port);
}

GatewayStack::GatewayStack() {
  broker_ = std::make_unique<BrokerProcess>(std::vector<std::string>{"broker"});
  if (!broker_->wait_until_serving()) {
    throw std::runtime_error("broker did not start: " + broker_->stderr_text());
  }
  port_ = free_loopback_port();
  api_service_ = std::make_unique<BrokerProcess>(
      TESSIK_API_SERVICE_BINARY,
      std::vector<std::string>{"--listen", "127.0.0.1:" + std::to_string(port_)});
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  httplib::Client client("127.0.0.1", port_);
  client.set_connection_timeout(1);
  while (!client.Get("/a2a/agent-card")) {
    if (!api_service_->running() || std::chrono::steady_clock::now() > deadline) {
      throw std::runtime_error("api-service did not start: " + api_service_->stderr_text());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::ifstream in(a2a_directory() / "local-token");
  std::stringstream text;
  text << in.rdbuf();
  token_ = trim(text.str());
}

}  // namespace tessik::test
