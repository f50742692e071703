// Frames on the broker socket: a 4-byte little-endian payload length N (1..8,388,608)
// followed by N bytes of JSON. The same layout runs in both directions.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/local_socket.h"
#include "platform/pipe_io.h"

namespace tessik {

// Reads one frame into `payload`. A length outside 1..kMaxFramePayloadBytes fails with 13
// before any payload is read. Other outcomes are those of LocalConnection::read_exact.
platform::PipeIoResult read_frame(platform::LocalConnection& connection, std::string& payload,
                                  std::int64_t deadline_ns, const platform::StopSignal* stop);

// Writes one frame. A payload outside 1..kMaxFramePayloadBytes fails with 111 and writes
// nothing.
platform::PipeIoResult write_frame(platform::LocalConnection& connection, std::string_view payload,
                                   std::int64_t deadline_ns, const platform::StopSignal* stop);

// "Tessik.UserBroker.<session id>".
std::string broker_socket_name(std::uint32_t session_id);

// The broker socket of `session_id` in the pipe directory (resolved afresh).
std::filesystem::path broker_socket_path(std::uint32_t session_id);

}  // namespace tessik
