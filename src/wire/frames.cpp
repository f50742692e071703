// Frame encoding over a local connection. The length prefix is built byte by byte so the wire
// format does not depend on the host's byte order.
#include "wire/frames.h"

#include "platform/pipe_directory.h"
#include "wire/envelope.h"

namespace tessik {

using platform::PipeIoResult;

PipeIoResult read_frame(platform::LocalConnection& connection, std::string& payload,
                        std::int64_t deadline_ns, const platform::StopSignal* stop) {
  payload.clear();
  unsigned char prefix[4];
  PipeIoResult result = connection.read_exact(prefix, sizeof prefix, deadline_ns, stop);
  if (!result.completed()) return result;
  const std::uint32_t length = std::uint32_t{prefix[0]} | std::uint32_t{prefix[1]} << 8 |
                               std::uint32_t{prefix[2]} << 16 | std::uint32_t{prefix[3]} << 24;
  if (length == 0 || length > kMaxFramePayloadBytes) {
    return platform::pipe_io_failed(platform::kErrorInvalidData, result.bytes_transferred);
  }
  payload.resize(length);
  result = connection.read_exact(payload.data(), length, deadline_ns, stop);
  result.bytes_transferred += sizeof prefix;
  if (!result.completed()) payload.clear();
  return result;
}

PipeIoResult write_frame(platform::LocalConnection& connection, std::string_view payload,
                         std::int64_t deadline_ns, const platform::StopSignal* stop) {
  if (payload.empty() || payload.size() > kMaxFramePayloadBytes) {
    return platform::pipe_io_failed(platform::kErrorBufferOverflow, 0);
  }
  // One buffer, one send for the common small frame.
  const auto length = static_cast<std::uint32_t>(payload.size());
  std::string frame;
  frame.reserve(4 + payload.size());
  for (int shift = 0; shift < 32; shift += 8) {
    frame.push_back(static_cast<char>((length >> shift) & 0xFF));
  }
  frame.append(payload);
  return connection.write_exact(frame.data(), frame.size(), deadline_ns, stop);
}

std::string broker_socket_name(std::uint32_t session_id) {
  return "Tessik.UserBroker." + std::to_string(session_id);
}

std::filesystem::path broker_socket_path(std::uint32_t session_id) {
  return platform::pipe_directory() / broker_socket_name(session_id);
}

}  // namespace tessik
