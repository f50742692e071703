// Test helper: a scripted stand-in for the Codex desktop application's IPC socket ("codex-ipc"
// in the pipe directory). It serves one client connection after another and logs every frame
// it receives, one JSON body per line, to LOG_FILE.
//
// Usage: fake_codex_ipc_server LOG_FILE [METHOD[#COUNT]=STEPS ...]
// STEPS is a '+'-joined list of lead-in steps and one final answer:
//   lead-in: discovery (send a client-discovery-request and read the client's answer),
//            foreign (a response to another request id, with the opposite result),
//            notice (a frame of another type)
//   answer:  success | error | silent (never answer) | close (drop the connection) |
//            zero-length | oversize (an invalid frame length) | garbage (a body that is not JSON)
// A rule with #COUNT applies to the first COUNT requests of its method, then the next rule of
// that method applies. Requests without a matching rule get "success".
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "base/text.h"
#include "platform/local_socket.h"
#include "platform/stop_signal.h"

namespace {

using nlohmann::json;
using tessik::platform::LocalConnection;

constexpr std::int64_t kIoTimeoutNs = 30'000'000'000;

struct Rule {
  std::string method;
  int remaining = -1;  // -1: unlimited
  std::vector<std::string> steps;
};

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::stringstream stream(text);
  std::string part;
  while (std::getline(stream, part, separator))
    parts.push_back(part);
  return parts;
}

std::optional<Rule> parse_rule(const std::string& text) {
  const std::size_t equals = text.find('=');
  if (equals == std::string::npos) return std::nullopt;
  Rule rule;
  rule.method = text.substr(0, equals);
  const std::size_t hash = rule.method.find('#');
  if (hash != std::string::npos) {
    rule.remaining = std::stoi(rule.method.substr(hash + 1));
    rule.method.resize(hash);
  }
  rule.steps = split(text.substr(equals + 1), '+');
  return rule;
}

std::int64_t deadline() {
  return tessik::monotonic_now_ns() + kIoTimeoutNs;
}

bool write_raw_frame(LocalConnection& connection, std::uint32_t length, const std::string& body) {
  unsigned char header[4] = {
      static_cast<unsigned char>(length), static_cast<unsigned char>(length >> 8),
      static_cast<unsigned char>(length >> 16), static_cast<unsigned char>(length >> 24)};
  return connection.write_exact(header, 4, deadline(), nullptr).completed() &&
         connection.write_exact(body.data(), body.size(), deadline(), nullptr).completed();
}

bool write_frame(LocalConnection& connection, const std::string& body) {
  return write_raw_frame(connection, static_cast<std::uint32_t>(body.size()), body);
}

std::optional<std::string> read_frame(LocalConnection& connection,
                                      const tessik::platform::StopSignal& stop) {
  unsigned char header[4];
  // No deadline for the next request: the client decides when to talk.
  if (!connection.read_exact(header, 4, INT64_MAX, &stop).completed()) return std::nullopt;
  const std::uint32_t length = header[0] | (header[1] << 8) | (header[2] << 16) |
                               (static_cast<std::uint32_t>(header[3]) << 24);
  if (length > 16 * 1024 * 1024) return std::nullopt;
  std::string body(length, '\0');
  if (!connection.read_exact(body.data(), length, deadline(), &stop).completed())
    return std::nullopt;
  return body;
}

json response(const std::string& request_id, const std::string& method, bool success) {
  json answer = {{"type", "response"},
                 {"requestId", request_id},
                 {"method", method},
                 {"resultType", success ? "success" : "error"}};
  if (!success) answer["error"] = "fake refusal of " + method;
  return answer;
}

class FakeServer {
 public:
  FakeServer(std::string log_path, std::vector<Rule> rules)
      : log_path_(std::move(log_path)), rules_(std::move(rules)) {}

  void log(const std::string& line) { std::ofstream(log_path_, std::ios::app) << line << "\n"; }

  std::vector<std::string> steps_for(const std::string& method) {
    for (Rule& rule : rules_) {
      if (rule.method != method || rule.remaining == 0) continue;
      if (rule.remaining > 0) --rule.remaining;
      return rule.steps;
    }
    return {"success"};
  }

  // Serves one connection; false once the connection is over.
  bool answer(LocalConnection& connection, const tessik::platform::StopSignal& stop) {
    const std::optional<std::string> body = read_frame(connection, stop);
    if (!body) return false;
    log(*body);
    const json request = json::parse(*body, nullptr, false);
    const std::string id = request.value("requestId", "");
    const std::string method = request.value("method", "");
    const std::vector<std::string> steps = steps_for(method);
    // A "foreign" frame carries the opposite of the final answer, so a client that took it
    // for its own would reach the wrong verdict.
    const bool final_success = !steps.empty() && steps.back() == "success";
    for (const std::string& step : steps) {
      if (step == "discovery") {
        write_frame(connection, json({{"type", "client-discovery-request"},
                                      {"requestId", "disc-" + id},
                                      {"discoveryId", "d-1"},
                                      {"method", "open-thread"}})
                                    .dump());
        const std::optional<std::string> reply = read_frame(connection, stop);
        if (!reply) return false;
        log(*reply);
      } else if (step == "foreign") {
        write_frame(connection, response("not-" + id, method, !final_success).dump());
      } else if (step == "notice") {
        write_frame(connection, json({{"type", "broadcast"}, {"method", "thread-updated"}}).dump());
      } else if (step == "success" || step == "error") {
        write_frame(connection, response(id, method, step == "success").dump());
      } else if (step == "zero-length") {
        write_raw_frame(connection, 0, "");
      } else if (step == "oversize") {
        write_raw_frame(connection, 67108865, "{}");
      } else if (step == "garbage") {
        write_frame(connection, "{not json");
      } else if (step == "close") {
        return false;
      }  // "silent": nothing
    }
    return true;
  }

 private:
  std::string log_path_;
  std::vector<Rule> rules_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: fake_codex_ipc_server LOG_FILE [METHOD[#COUNT]=STEPS ...]\n", stderr);
    return 2;
  }
  std::vector<Rule> rules;
  for (int i = 2; i < argc; ++i) {
    std::optional<Rule> rule = parse_rule(argv[i]);
    if (!rule) {
      std::fprintf(stderr, "bad rule: %s\n", argv[i]);
      return 2;
    }
    rules.push_back(*rule);
  }
  tessik::platform::StopSignal stop;
  if (!stop.open({}, true)) return 1;
  tessik::platform::LocalSocketServer server;
  if (server.listen("codex-ipc") != tessik::platform::ListenStatus::listening) {
    std::fprintf(stderr, "listen failed: %s\n", server.error().c_str());
    return 1;
  }
  FakeServer fake(argv[1], std::move(rules));
  // The socket file appears at bind, before listen: tests wait for this line instead.
  fake.log("{\"event\":\"listening\"}");
  while (!stop.stop_requested()) {
    LocalConnection connection;
    if (!server.wait_for_client(INT64_MAX, stop, connection).completed()) continue;
    fake.log("{\"event\":\"connected\"}");
    while (fake.answer(connection, stop)) {
    }
  }
  return 0;
}
