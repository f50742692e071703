// Local socket contract: single owner, stale sockets, exact-length transfers, deadlines, stop,
// peer closure, caller identity, and the frame limits built on top.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

#include "base/text.h"
#include "platform/local_socket.h"
#include "platform/stop_signal.h"
#include "support/temp_env.h"
#include "wire/envelope.h"
#include "wire/frames.h"

namespace tessik::platform {
namespace {

constexpr std::int64_t kMs = 1'000'000;

std::int64_t in_ms(std::int64_t ms) {
  return monotonic_now_ns() + ms * kMs;
}

// A listening server with one accepted connection and the client end of it.
class SocketPair : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(stop_.open({}, false));
    ASSERT_EQ(server_.listen("contract.sock"), ListenStatus::listening) << server_.error();
    ASSERT_TRUE(connect_local_socket(server_.path(), in_ms(1000), client_).completed());
    ASSERT_TRUE(server_.wait_for_client(in_ms(1000), stop_, accepted_).completed());
  }

  test::TempEnv env_;
  StopSignal stop_;
  LocalSocketServer server_;
  LocalConnection client_;
  LocalConnection accepted_;
};

TEST_F(SocketPair, ReadsExactlyNBytesAcrossChunks) {
  std::thread writer([&] {
    for (const char* chunk : {"abc", "defg", "hij"}) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      client_.write_exact(chunk, std::strlen(chunk), in_ms(1000), nullptr);
    }
  });
  char buffer[10] = {};
  const PipeIoResult result = accepted_.read_exact(buffer, 10, in_ms(5000), &stop_);
  writer.join();
  EXPECT_EQ(result.status, PipeIoStatus::completed);
  EXPECT_EQ(result.windows_error, 0u);
  EXPECT_EQ(result.bytes_transferred, 10u);
  EXPECT_EQ(std::string(buffer, 10), "abcdefghij");
  EXPECT_TRUE(accepted_.read_exact(buffer, 0, in_ms(0), &stop_).completed());
}

TEST_F(SocketPair, BytesBeyondARequestAreKeptForTheNextRead) {
  const std::string big(200'000, 'B');
  std::string stream;
  for (const std::string& payload : {std::string("first"), std::string("second"), big}) {
    stream += std::string(1, static_cast<char>(payload.size())) +
              std::string(1, static_cast<char>(payload.size() >> 8)) +
              std::string(1, static_cast<char>(payload.size() >> 16)) + std::string(1, '\0') +
              payload;
  }
  std::thread writer(
      [&] { client_.write_exact(stream.data(), stream.size(), in_ms(10'000), nullptr); });
  std::string payload;
  ASSERT_TRUE(read_frame(accepted_, payload, in_ms(10'000), &stop_).completed());
  EXPECT_EQ(payload, "first");
  ASSERT_TRUE(read_frame(accepted_, payload, in_ms(10'000), &stop_).completed());
  EXPECT_EQ(payload, "second");
  ASSERT_TRUE(read_frame(accepted_, payload, in_ms(10'000), &stop_).completed());
  EXPECT_EQ(payload, big);
  writer.join();
  // Nothing is left over, and reading on after the writer is gone ends the stream.
  client_.close();
  char byte;
  EXPECT_EQ(accepted_.read_exact(&byte, 1, in_ms(1000), &stop_).windows_error, kErrorBrokenPipe);
}

TEST_F(SocketPair, DeadlineEndsAReadWithTheBytesSoFar) {
  ASSERT_TRUE(client_.write_exact("xyz", 3, in_ms(1000), nullptr).completed());
  char buffer[10];
  const auto started = monotonic_now_ns();
  const PipeIoResult result = accepted_.read_exact(buffer, 10, in_ms(150), &stop_);
  EXPECT_GE(monotonic_now_ns() - started, 150 * kMs) << "a wait must not end before its deadline";
  EXPECT_EQ(result.status, PipeIoStatus::timed_out);
  EXPECT_EQ(result.windows_error, kErrorTimeout);
  EXPECT_EQ(result.bytes_transferred, 3u);
  // A deadline already past times out before moving anything.
  EXPECT_EQ(accepted_.read_exact(buffer, 1, in_ms(-1), &stop_).status, PipeIoStatus::timed_out);
}

TEST_F(SocketPair, StopInterruptsAPendingReadAndPrecedesData) {
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stop_.request_stop();
  });
  char buffer[4];
  const PipeIoResult result = accepted_.read_exact(buffer, 4, in_ms(30'000), &stop_);
  stopper.join();
  EXPECT_EQ(result.status, PipeIoStatus::cancelled);
  EXPECT_EQ(result.windows_error, kErrorOperationAborted);
  ASSERT_TRUE(client_.write_exact("data", 4, in_ms(1000), nullptr).completed());
  EXPECT_EQ(accepted_.read_exact(buffer, 4, in_ms(1000), &stop_).status, PipeIoStatus::cancelled);
  EXPECT_EQ(accepted_.write_exact("x", 1, in_ms(1000), &stop_).status, PipeIoStatus::cancelled);
  EXPECT_EQ(server_.wait_for_client(in_ms(1000), stop_, accepted_).status, PipeIoStatus::cancelled);
}

TEST_F(SocketPair, PeerClosingIsABrokenPipe) {
  ASSERT_TRUE(client_.write_exact("ab", 2, in_ms(1000), nullptr).completed());
  client_.close();
  char buffer[4];
  const PipeIoResult result = accepted_.read_exact(buffer, 4, in_ms(1000), &stop_);
  EXPECT_EQ(result.status, PipeIoStatus::failed);
  EXPECT_EQ(result.windows_error, kErrorBrokenPipe);
  EXPECT_EQ(result.bytes_transferred, 2u);
  const PipeIoResult write = accepted_.write_exact("x", 1, in_ms(1000), &stop_);
  EXPECT_EQ(write.status, PipeIoStatus::failed);
  EXPECT_EQ(write.windows_error, static_cast<std::uint32_t>(EPIPE));
}

TEST_F(SocketPair, PeerClosingWithUnreadDataIsABrokenPipeToo) {
  // The client leaves our response unread and goes away: the kernel reports a reset.
  ASSERT_TRUE(accepted_.write_exact("unread", 6, in_ms(1000), &stop_).completed());
  client_.close();
  char buffer[4];
  const PipeIoResult result = accepted_.read_exact(buffer, 4, in_ms(1000), &stop_);
  EXPECT_EQ(result.status, PipeIoStatus::failed);
  EXPECT_EQ(result.windows_error, kErrorBrokenPipe);
}

TEST_F(SocketPair, LargeWritesFlowAndStallingReadersTimeOut) {
  const std::string big(kMaxFramePayloadBytes, 'b');
  std::string received(big.size(), '\0');
  std::thread reader(
      [&] { client_.read_exact(received.data(), received.size(), in_ms(10'000), nullptr); });
  EXPECT_TRUE(accepted_.write_exact(big.data(), big.size(), in_ms(10'000), &stop_).completed());
  reader.join();
  EXPECT_EQ(received, big);

  // Nobody reads now: the socket buffer fills and the deadline ends the write.
  const PipeIoResult stalled = accepted_.write_exact(big.data(), big.size(), in_ms(200), &stop_);
  EXPECT_EQ(stalled.status, PipeIoStatus::timed_out);
  EXPECT_GT(stalled.bytes_transferred, 0u);
  EXPECT_LT(stalled.bytes_transferred, big.size());
}

TEST_F(SocketPair, PeerUidAndServiceCallerCheck) {
  EXPECT_EQ(accepted_.peer_uid(), std::optional<std::uint32_t>(::geteuid()));
  env_.unset("TESSIK_SERVICE_UID");
  EXPECT_EQ(is_service_caller(accepted_), ::geteuid() == 0);
  env_.set("TESSIK_SERVICE_UID", std::to_string(::geteuid()));
  EXPECT_TRUE(is_service_caller(accepted_));
  env_.set("TESSIK_SERVICE_UID", std::to_string(::geteuid() + 4242));
  EXPECT_FALSE(is_service_caller(accepted_));
  for (const char* bad : {"", "abc", "0x0", "-1", "99999999999", " 0"}) {
    env_.set("TESSIK_SERVICE_UID", bad);
    EXPECT_FALSE(is_service_caller(accepted_)) << "'" << bad << "'";
  }
  EXPECT_FALSE(is_service_caller(LocalConnection()));
}

TEST_F(SocketPair, FrameLengthLimitsOnReadAndWrite) {
  std::string payload;
  for (const std::uint32_t length : {0u, kMaxFramePayloadBytes + 1}) {
    const unsigned char prefix[4] = {
        static_cast<unsigned char>(length), static_cast<unsigned char>(length >> 8),
        static_cast<unsigned char>(length >> 16), static_cast<unsigned char>(length >> 24)};
    ASSERT_TRUE(client_.write_exact(prefix, 4, in_ms(1000), nullptr).completed());
    const PipeIoResult result = read_frame(accepted_, payload, in_ms(1000), &stop_);
    EXPECT_EQ(result.status, PipeIoStatus::failed) << length;
    EXPECT_EQ(result.windows_error, kErrorInvalidData) << length;
  }
  for (const std::size_t size : {std::size_t{0}, std::size_t{kMaxFramePayloadBytes} + 1}) {
    const PipeIoResult result = write_frame(client_, std::string(size, '{'), in_ms(1000), nullptr);
    EXPECT_EQ(result.status, PipeIoStatus::failed);
    EXPECT_EQ(result.windows_error, kErrorBufferOverflow);
    EXPECT_EQ(result.bytes_transferred, 0u);
  }
  char nothing;
  EXPECT_EQ(accepted_.read_exact(&nothing, 1, in_ms(50), &stop_).bytes_transferred, 0u)
      << "a refused write sends nothing";

  // The length prefix is little-endian and the largest payload passes.
  const std::string largest(kMaxFramePayloadBytes, 'x');
  std::thread writer([&] { write_frame(client_, largest, in_ms(10'000), nullptr); });
  const PipeIoResult read = read_frame(accepted_, payload, in_ms(10'000), &stop_);
  writer.join();
  EXPECT_TRUE(read.completed());
  EXPECT_EQ(read.bytes_transferred, kMaxFramePayloadBytes + 4);
  EXPECT_EQ(payload, largest);
}

TEST(LocalSocketServer, OneOwnerPerNameAndTheSocketGoesWithIt) {
  test::TempEnv env;
  LocalSocketServer first;
  ASSERT_EQ(first.listen("owned.sock"), ListenStatus::listening) << first.error();
  struct stat info {};
  ASSERT_EQ(::stat(first.path().c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  LocalSocketServer second;
  EXPECT_EQ(second.listen("owned.sock"), ListenStatus::already_owned);
  EXPECT_FALSE(second.error().empty());
  EXPECT_TRUE(std::filesystem::exists(first.path())) << "a refused owner must not touch the socket";
  const auto lock = env.pipe_dir() / "owned.sock.lock";
  EXPECT_TRUE(std::filesystem::exists(lock)) << "a refused owner must not touch the lock";
  first.close();
  EXPECT_FALSE(std::filesystem::exists(first.path()));
  EXPECT_FALSE(std::filesystem::exists(lock)) << "a stopped owner leaves its lock file behind";
  EXPECT_EQ(second.listen("owned.sock"), ListenStatus::listening) << second.error();
  second.close();
  EXPECT_TRUE(std::filesystem::is_empty(env.pipe_dir()));
}

TEST(LocalSocketServer, SocketOfADeadOwnerIsReplaced) {
  test::TempEnv env;
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    LocalSocketServer doomed;
    ::_exit(doomed.listen("stale.sock") == ListenStatus::listening ? 0 : 1);  // no clean-up
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  const auto path = env.pipe_dir() / "stale.sock";
  ASSERT_TRUE(std::filesystem::exists(path)) << "the dead owner left its socket behind";
  LocalConnection refused;
  EXPECT_EQ(connect_local_socket(path, in_ms(100), refused).windows_error,
            static_cast<std::uint32_t>(ECONNREFUSED));

  // An owner killed between bind and publish leaves its side name too; it must not block.
  std::ofstream(env.pipe_dir() / "stale.sock.new") << "left by a killed owner";
  LocalSocketServer server;
  ASSERT_EQ(server.listen("stale.sock"), ListenStatus::listening) << server.error();
  LocalConnection client;
  EXPECT_TRUE(connect_local_socket(path, in_ms(1000), client).completed());
  server.close();
  EXPECT_TRUE(std::filesystem::is_empty(env.pipe_dir())) << "the dead owner's lock file stayed";
}

TEST(LocalSocketServer, RefusesAPipeDirectoryOthersCanEnter) {
  test::TempEnv env;
  ASSERT_EQ(::chmod(env.pipe_dir().c_str(), 0755), 0);
  LocalSocketServer server;
  EXPECT_EQ(server.listen("open.sock"), ListenStatus::insecure);
  EXPECT_NE(server.error().find("0700"), std::string::npos) << server.error();
  EXPECT_FALSE(std::filesystem::exists(env.pipe_dir() / "open.sock"));
}

TEST(LocalSocketServer, WaitForClientTimesOutAndClientsFailWithoutAServer) {
  test::TempEnv env;
  StopSignal stop;
  ASSERT_TRUE(stop.open({}, false));
  LocalSocketServer server;
  ASSERT_EQ(server.listen("idle.sock"), ListenStatus::listening);
  LocalConnection connection;
  const PipeIoResult waited = server.wait_for_client(in_ms(100), stop, connection);
  EXPECT_EQ(waited.status, PipeIoStatus::timed_out);
  EXPECT_EQ(waited.windows_error, kErrorTimeout);
  EXPECT_FALSE(connection.is_open());

  const PipeIoResult missing =
      connect_local_socket(env.pipe_dir() / "absent.sock", in_ms(100), connection);
  EXPECT_EQ(missing.status, PipeIoStatus::failed);
  EXPECT_EQ(missing.windows_error, static_cast<std::uint32_t>(ENOENT));
  const std::string too_long(200, 'n');
  EXPECT_EQ(connect_local_socket(env.pipe_dir() / too_long, in_ms(100), connection).windows_error,
            static_cast<std::uint32_t>(ENAMETOOLONG));
  EXPECT_EQ(server.listen(too_long), ListenStatus::failed);
}

}  // namespace
}  // namespace tessik::platform
