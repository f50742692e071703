// The real broker over its socket: frames, refusals, acknowledgements, ownership and stopping.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <thread>

#include "base/text.h"
#include "platform/local_socket.h"
#include "platform/pipe_io.h"
#include "support/broker_process.h"
#include "support/jsonl_reader.h"
#include "support/temp_env.h"
#include "wire/envelope.h"
#include "wire/frame_client.h"

namespace tessik {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using platform::PipeIoStatus;

constexpr std::int64_t kSecond = 1'000'000'000;
constexpr const char* kShortReadDeadline = "--request-read-timeout-ms=300";

const std::string kFrameInvalid =
    R"({"error":{"code":"TESSIK_USER_BROKER_FRAME_INVALID","message":"Invalid broker request frame."}})";
const std::string kCallerRejected =
    R"({"error":{"code":"TESSIK_USER_BROKER_CALLER_REJECTED","message":"Only the LocalSystem Tessik API service may call the user broker."}})";

std::string envelope_with(const std::string& body) {
  json envelope = {{"version", 1},
                   {"endpointUrl", "http://127.0.0.1:37661/a2a"},
                   {"request", {{"method", "GET"}, {"target", "/a2a/nowhere"}, {"body", body}}},
                   {"principal", {{"authenticated", true}, {"clientId", "client-1"}}}};
  return envelope.dump();
}

std::string length_prefix(std::uint32_t length) {
  std::string prefix;
  for (int shift = 0; shift < 32; shift += 8)
    prefix.push_back(static_cast<char>(length >> shift));
  return prefix;
}

class BrokerSocket : public ::testing::Test {
 protected:
  BrokerSocket() { env_.unset("TESSIK_SERVICE_UID"); }

  void start(std::vector<std::string> args = {"broker", kShortReadDeadline}) {
    broker_.emplace(std::move(args));
    ASSERT_TRUE(broker_->wait_until_serving()) << broker_->stderr_text();
  }

  std::int64_t deadline() const { return monotonic_now_ns() + 10 * kSecond; }

  void connect(FrameClient& client) {
    ASSERT_TRUE(client.connect(test::BrokerProcess::socket_path(), deadline()).completed());
  }

  // Sends raw bytes, reads the response document and (optionally) acknowledges it, then waits
  // for the broker to hang up so that every event of the connection has been written.
  json exchange_raw(const std::string& bytes, bool acknowledge = true) {
    FrameClient client;
    connect(client);
    if (!bytes.empty()) {
      EXPECT_TRUE(client.connection()
                      .write_exact(bytes.data(), bytes.size(), deadline(), nullptr)
                      .completed());
    }
    std::string response;
    const auto read = client.read_frame(response, deadline());
    EXPECT_TRUE(read.completed()) << "status " << static_cast<int>(read.status) << " error "
                                  << read.windows_error;
    if (acknowledge) {
      EXPECT_TRUE(client.acknowledge(deadline()).completed());
      wait_for_hang_up(client);
    }
    return response.empty() ? json() : json::parse(response);
  }

  json exchange(const std::string& payload) {
    return exchange_raw(length_prefix(static_cast<std::uint32_t>(payload.size())) + payload);
  }

  static void wait_for_hang_up(FrameClient& client) {
    char byte;
    const auto end =
        client.connection().read_exact(&byte, 1, monotonic_now_ns() + 10 * kSecond, nullptr);
    EXPECT_EQ(end.windows_error, platform::kErrorBrokenPipe) << "the broker should hang up";
  }

  std::vector<json> events() const { return test::read_jsonl(env_.events_log()); }

  // Connects, sends a routed envelope and reads its response, leaving it unacknowledged.
  void request_without_acknowledging(FrameClient& client) {
    connect(client);
    ASSERT_TRUE(client.write_frame(envelope_with(""), deadline()).completed());
    std::string response;
    ASSERT_TRUE(client.read_frame(response, deadline()).completed());
  }

  std::vector<std::string> event_types() const {
    std::vector<std::string> types;
    for (const json& record : events())
      types.push_back(record["event_type"]);
    return types;
  }

  void expect_still_serving() {
    const json response = exchange(envelope_with(""));
    EXPECT_EQ(response["status"], 404) << response.dump();
  }

  test::TempEnv env_;
  std::optional<test::BrokerProcess> broker_;
};

TEST_F(BrokerSocket, ValidEnvelopeIsRoutedAndRecordsOnlyTheStart) {
  start();
  const json response = exchange(envelope_with("{}"));
  EXPECT_EQ(response["version"], 1);
  EXPECT_EQ(response["status"], 404);
  EXPECT_EQ(response["contentType"], "application/json");
  EXPECT_EQ(response["headers"], json::object());
  const json body = json::parse(response["body"].get<std::string>());
  EXPECT_EQ(body["error"]["status"], "NOT_FOUND");
  EXPECT_EQ(body["error"]["message"], "A2A route not found");
  EXPECT_EQ(body["error"]["details"][0]["reason"], "TESSIK_A2A_ROUTE_NOT_FOUND");

  const auto records = events();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["event_type"], "a2a_user_broker_started");
  EXPECT_EQ(records[0]["transport"], "unix_domain_socket_poll");
  EXPECT_EQ(records[0]["polling"], "false");
  EXPECT_FALSE(records[0]["session_id"].get<std::string>().empty());
  for (const char* sub : {"registry", "logs", "mailbox/messages", "test-runs"}) {
    EXPECT_TRUE(fs::is_directory(env_.state_dir() / sub)) << sub;
  }
  EXPECT_NE(broker_->stderr_text().find("state directory: " + env_.state_dir().string()),
            std::string::npos)
      << broker_->stderr_text();
}

TEST_F(BrokerSocket, FrameLengthLimits) {
  start();
  const auto log_size = fs::file_size(env_.events_log());
  for (const std::uint32_t length : {0u, kMaxFramePayloadBytes + 1}) {
    const json response = exchange_raw(length_prefix(length));
    EXPECT_EQ(response["status"], 400) << length;
    EXPECT_EQ(response["body"], kFrameInvalid) << length;
  }
  EXPECT_EQ(fs::file_size(env_.events_log()), log_size) << "refused frames leave no trace";

  // The largest frame is read whole and parsed: it reaches the gateway.
  std::string largest = envelope_with("");
  largest = envelope_with(std::string(kMaxFramePayloadBytes - largest.size(), ' '));
  ASSERT_EQ(largest.size(), kMaxFramePayloadBytes);
  EXPECT_EQ(exchange(largest)["status"], 404);
}

TEST_F(BrokerSocket, SilentOrTruncatedClientGetsFrameInvalidAfterTheReadDeadline) {
  start();
  const json silent = exchange_raw("");
  EXPECT_EQ(silent["status"], 400);
  EXPECT_EQ(silent["body"], kFrameInvalid);
  const json truncated = exchange_raw(length_prefix(100) + "{\"version\":1");
  EXPECT_EQ(truncated["body"], kFrameInvalid);
  expect_still_serving();
}

TEST_F(BrokerSocket, CallerOtherThanTheServiceIsRejectedUnparsed) {
  env_.set("TESSIK_SERVICE_UID", "4242");  // the tests run as another uid than this
  start();
  const json valid = exchange(envelope_with(""));
  EXPECT_EQ(valid["status"], 403);
  EXPECT_EQ(valid["body"], kCallerRejected);
  const json garbage = exchange("not json at all");
  EXPECT_EQ(garbage["status"], 403) << "the envelope must not be parsed for a rejected caller";
  EXPECT_EQ(garbage["body"], kCallerRejected);
  EXPECT_EQ(event_types(), std::vector<std::string>{"a2a_user_broker_started"});
}

TEST_F(BrokerSocket, OtherUsersCannotReachTheSocket) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  start();
  const fs::path socket = test::BrokerProcess::socket_path();
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(90);
    platform::LocalConnection connection;
    const auto result =
        platform::connect_local_socket(socket, monotonic_now_ns() + kSecond, connection);
    ::_exit(result.windows_error == EACCES ? 0 : 91);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "a client of another uid must get EACCES";
  expect_still_serving();
}

TEST_F(BrokerSocket, InvalidEnvelopesGetTheParserMessage) {
  start();
  const std::pair<std::string, const char*> cases[] = {
      {R"({"version":2,"request":{},"principal":{}})",
       "unsupported or malformed user-broker envelope"},
      {R"({"version":1,"request":{"method":"GET","target":"/"},"principal":[]})",
       "user-broker envelope is missing request or principal"},
      {R"({"version":1,"request":{"method":"GET","target":"/"},"principal":{"authenticated":true,"clientId":"  "}})",
       "user-broker envelope failed identity or request validation"},
      {R"({"version":1,"request":{"method":["GET"],"target":"/"},"principal":{"authenticated":true,"clientId":"c"}})",
       "user-broker envelope failed identity or request validation"},
  };
  for (const auto& [payload, message] : cases) {
    const json response = exchange(payload);
    EXPECT_EQ(response["status"], 400);
    const json body = json::parse(response["body"].get<std::string>());
    EXPECT_EQ(body["error"]["code"], "TESSIK_USER_BROKER_REQUEST_INVALID");
    EXPECT_EQ(body["error"]["message"], message) << payload;
  }
  EXPECT_EQ(event_types(), std::vector<std::string>{"a2a_user_broker_started"});
}

TEST_F(BrokerSocket, AcknowledgementWithAnExtraKeyIsRecordedTwice) {
  start();
  FrameClient client;
  request_without_acknowledging(client);
  ASSERT_TRUE(
      client.write_frame(R"({"version":1,"type":"response_consumed","extra":true})", deadline())
          .completed());
  wait_for_hang_up(client);

  const auto records = events();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[1]["event_type"], "a2a_user_broker_response_ack_invalid");
  EXPECT_EQ(records[1]["reason"], "unsupported or malformed user-broker response acknowledgement");
  EXPECT_EQ(records[2]["event_type"], "a2a_user_broker_response_drain_failed");
  EXPECT_EQ(records[2]["status"], "failed");
  EXPECT_EQ(records[2]["windows_error"], "13");
  expect_still_serving();
}

TEST_F(BrokerSocket, ClientClosingBeforeAcknowledgingIsABrokenPipe) {
  start();
  {
    FrameClient client;
    request_without_acknowledging(client);
  }  // closed without acknowledging
  expect_still_serving();
  const auto records = events();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1]["event_type"], "a2a_user_broker_response_drain_failed");
  EXPECT_EQ(records[1]["status"], "failed");
  EXPECT_EQ(records[1]["windows_error"], "109");
}

TEST_F(BrokerSocket, SecondBrokerInTheSessionExitsWithoutEvents) {
  start();
  const auto before = fs::file_size(env_.events_log());
  test::BrokerProcess second({"broker"});
  EXPECT_EQ(second.wait_for_exit(std::chrono::seconds(5)), std::optional<int>(0));
  EXPECT_NE(second.stderr_text().find("another broker"), std::string::npos) << second.stderr_text();
  EXPECT_EQ(fs::file_size(env_.events_log()), before);
  expect_still_serving();
}

// A child forked by a killed broker may hold the lock until it executes its program; a
// broker restarted meanwhile must take over once the lock is free, not give up the session.
TEST_F(BrokerSocket, LockHeldBrieflyElsewhereIsWaitedFor) {
  const std::string lock = test::BrokerProcess::socket_path().string() + ".lock";
  const int fd = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  test::BrokerProcess broker({"broker"});
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ::close(fd);
  EXPECT_TRUE(broker.wait_until_serving()) << broker.stderr_text();
}

TEST_F(BrokerSocket, SocketOfAKilledBrokerIsTakenOver) {
  start();
  broker_->send_signal(SIGKILL);
  ASSERT_TRUE(broker_->wait_for_exit().has_value());
  ASSERT_TRUE(fs::exists(test::BrokerProcess::socket_path()))
      << "a killed broker leaves its socket";
  start();
  expect_still_serving();
}

TEST_F(BrokerSocket, MalformedBrokerOptionsAreAUsageError) {
  for (const char* bad : {"--request-read-timeout-ms=0", "--request-read-timeout-ms=abc",
                          "--request-read-timeout-ms=3600001", "--verbose"}) {
    test::BrokerProcess broker({"broker", bad});
    EXPECT_EQ(broker.wait_for_exit(), std::optional<int>(2)) << bad;
    EXPECT_NE(broker.stderr_text().find("usage: tessik broker"), std::string::npos) << bad;
  }
  EXPECT_FALSE(fs::exists(env_.state_dir())) << "a usage error starts nothing";
}

class BrokerStopSignal : public BrokerSocket, public ::testing::WithParamInterface<int> {};

TEST_P(BrokerStopSignal, IdleBrokerStopsWithExitCodeZero) {
  start();
  const auto sent = monotonic_now_ns();
  broker_->send_signal(GetParam());
  EXPECT_EQ(broker_->wait_for_exit(std::chrono::seconds(5)), std::optional<int>(0));
  EXPECT_LT(monotonic_now_ns() - sent, 2 * kSecond) << "the stop must not wait for a deadline";
  const auto records = events();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1]["event_type"], "a2a_user_broker_stopped");
  EXPECT_EQ(records[1]["exit_code"], "0");
  EXPECT_EQ(records[1]["session_id"], records[0]["session_id"]);
  EXPECT_FALSE(fs::exists(test::BrokerProcess::socket_path()));
}

INSTANTIATE_TEST_SUITE_P(Signals, BrokerStopSignal,
                         ::testing::Values(SIGINT, SIGTERM, SIGHUP, SIGQUIT));

TEST_F(BrokerSocket, StopDuringARequestReadEndsWithoutAResponse) {
  start({"broker"});  // production read deadline: 30 s
  FrameClient client;
  connect(client);
  ASSERT_TRUE(client.connection().write_exact("\x10\0\0\0{", 5, deadline(), nullptr).completed());
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  broker_->send_signal(SIGTERM);
  EXPECT_EQ(broker_->wait_for_exit(std::chrono::seconds(5)), std::optional<int>(0));
  std::string response;
  EXPECT_EQ(client.read_frame(response, deadline()).windows_error, platform::kErrorBrokenPipe);
  EXPECT_EQ(event_types(),
            (std::vector<std::string>{"a2a_user_broker_started", "a2a_user_broker_stopped"}));
}

TEST_F(BrokerSocket, BadInputNeverStopsTheBroker) {
  start();
  std::mt19937 random(20261206);
  std::vector<std::string> payloads = {
      std::string(100'000, '['),
      std::string(100'000, '{'),
      "{\"version\":1,\"request\":{\"method\":\"\xFF\xFE\",\"target\":\"/\xC0\"},"
      "\"principal\":{\"authenticated\":true,\"clientId\":\"\xED\xA0\x80\"}}",
      std::string("\0\0\0\0", 4),
      "{\"version\":1e400}",
      "{\"version\":-1,\"version\":1,\"request\":{},\"principal\":{}}",
      "\xEF\xBB\xBF{}",
  };
  for (int i = 0; i < 40; ++i) {
    std::string noise(1 + random() % 300, '\0');
    for (char& c : noise)
      c = static_cast<char>(random());
    payloads.push_back(noise);
  }
  // Valid envelopes cut short at random places.
  const std::string valid = envelope_with("body");
  for (int i = 0; i < 20; ++i)
    payloads.push_back(valid.substr(0, 1 + random() % (valid.size() - 1)));

  for (const std::string& payload : payloads) {
    SCOPED_TRACE(json(repair_utf8(payload.substr(0, 60))).dump());
    const json response = exchange(payload);
    ASSERT_EQ(response["status"], 400) << json(repair_utf8(payload)).dump();
    ASSERT_TRUE(broker_->running()) << broker_->stderr_text();
  }
  // Bad acknowledgements and garbage after the response.
  for (const std::string& ack : {std::string("\x05\0\0\0nope!", 9), std::string("\xFF\xFF\xFF\xFF"),
                                 std::string("\x02\0\0\0[]", 6)}) {
    FrameClient client;
    request_without_acknowledging(client);
    ASSERT_TRUE(
        client.connection().write_exact(ack.data(), ack.size(), deadline(), nullptr).completed());
    wait_for_hang_up(client);
  }
  expect_still_serving();
  for (const json& record : events()) {
    const std::string type = record["event_type"];
    EXPECT_TRUE(type == "a2a_user_broker_started" ||
                type == "a2a_user_broker_response_ack_invalid" ||
                type == "a2a_user_broker_response_drain_failed")
        << type;
  }
}

}  // namespace
}  // namespace tessik
