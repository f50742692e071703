// Broker client: the four steps of one exchange, each bounded by the caller's deadline.
#include "wire/frame_client.h"

#include "base/text.h"
#include "platform/pipe_directory.h"

namespace tessik {
namespace {

constexpr std::uint32_t kErrorAccessDenied = 5;

}  // namespace

using platform::PipeIoResult;

PipeIoResult FrameClient::connect(const std::filesystem::path& socket, std::int64_t deadline_ns) {
  connection_.close();
  return platform::connect_local_socket(socket, deadline_ns, connection_);
}

PipeIoResult FrameClient::write_frame(std::string_view payload, std::int64_t deadline_ns) {
  return tessik::write_frame(connection_, payload, deadline_ns, nullptr);
}

PipeIoResult FrameClient::read_frame(std::string& payload, std::int64_t deadline_ns) {
  return tessik::read_frame(connection_, payload, deadline_ns, nullptr);
}

PipeIoResult FrameClient::acknowledge(std::int64_t deadline_ns) {
  return write_frame(kResponseAcknowledgement, deadline_ns);
}

BrokerExchange exchange_with_broker(const std::filesystem::path& socket, std::string_view request,
                                    std::int64_t timeout_ns,
                                    std::optional<std::uint32_t> broker_uid) {
  const std::int64_t deadline = monotonic_now_ns() + timeout_ns;
  BrokerExchange exchange;
  const auto untrusted = [&](std::string why) {
    exchange.step = "verify";
    exchange.result = platform::pipe_io_failed(kErrorAccessDenied, 0);
    exchange.untrusted = std::move(why);
    return exchange;
  };
  // Whoever can create the socket's name can listen there, and would read the caller's
  // bearer token: the directory decides who can, the peer credentials who did.
  if (std::string why;
      broker_uid && !platform::is_private_directory(socket.parent_path(), *broker_uid, &why)) {
    return untrusted("pipe directory " + socket.parent_path().string() + ": " + why);
  }
  FrameClient client;
  exchange.step = "connect";
  exchange.result = client.connect(socket, deadline);
  if (!exchange.result.completed()) return exchange;
  if (broker_uid) {
    const std::optional<std::uint32_t> peer = client.connection().peer_uid();
    if (!peer || *peer != *broker_uid) {
      return untrusted("the listener at " + socket.string() + " runs as uid " +
                       (peer ? std::to_string(*peer) : std::string("unknown")) + ", not " +
                       std::to_string(*broker_uid));
    }
  }
  exchange.step = "write";
  exchange.result = client.write_frame(request, deadline);
  if (!exchange.result.completed()) return exchange;
  exchange.step = "read";
  exchange.result = client.read_frame(exchange.response, deadline);
  if (!exchange.result.completed()) return exchange;
  exchange.step = "acknowledge";
  exchange.result = client.acknowledge(deadline);
  if (!exchange.result.completed()) return exchange;
  exchange.step = "done";
  return exchange;
}

}  // namespace tessik
