// Broker client: the four steps of one exchange, each bounded by the caller's deadline.
#include "wire/frame_client.h"

#include "base/text.h"

namespace tessik {

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
                                    std::int64_t timeout_ns) {
  const std::int64_t deadline = monotonic_now_ns() + timeout_ns;
  BrokerExchange exchange;
  FrameClient client;
  exchange.step = "connect";
  exchange.result = client.connect(socket, deadline);
  if (!exchange.result.completed()) return exchange;
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
