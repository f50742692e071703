// Client side of the broker socket: connect to a broker, send one request frame, read the
// response frame and acknowledge it. Used by the API-service stand-in and by tests.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/local_socket.h"
#include "wire/frames.h"

namespace tessik {

// {"version":1,"type":"response_consumed"}
inline constexpr std::string_view kResponseAcknowledgement =
    R"({"version":1,"type":"response_consumed"})";

// One connection to a broker. Move-only, one thread at a time; no stop signal (callers bound
// every step with a deadline instead).
class FrameClient {
 public:
  platform::PipeIoResult connect(const std::filesystem::path& socket, std::int64_t deadline_ns);
  platform::PipeIoResult write_frame(std::string_view payload, std::int64_t deadline_ns);
  platform::PipeIoResult read_frame(std::string& payload, std::int64_t deadline_ns);
  platform::PipeIoResult acknowledge(std::int64_t deadline_ns);
  void close() { connection_.close(); }

  // The raw stream, for callers that must send bytes that are not a well-formed frame.
  platform::LocalConnection& connection() { return connection_; }

 private:
  platform::LocalConnection connection_;
};

// The outcome of a whole exchange. `step` names where it stopped: "verify", "connect",
// "write", "read", "acknowledge", or "done" when the response was read and acknowledged.
struct BrokerExchange {
  platform::PipeIoResult result;
  std::string step;
  std::string response;   // the response payload once read
  std::string untrusted;  // at "verify": why the socket is not the expected broker's
};

// Connects to `socket`, sends `request`, reads the response and acknowledges it, all within
// `timeout_ns` from now. With `broker_uid`, nothing is sent unless the socket's directory is
// private to that user and the process that accepted the connection runs as that user;
// otherwise the exchange stops at "verify" (error 5, access denied).
BrokerExchange exchange_with_broker(const std::filesystem::path& socket, std::string_view request,
                                    std::int64_t timeout_ns,
                                    std::optional<std::uint32_t> broker_uid = std::nullopt);

}  // namespace tessik
