// Reading and writing Codex desktop IPC frames with the local socket's deadline-bounded I/O.
#include "providers/codex/codex_ipc_frames.h"

#include <algorithm>

namespace tessik {
namespace {

constexpr std::size_t kBodyChunkBytes = 1 << 20;

std::string code_text(const platform::PipeIoResult& io) {
  return std::to_string(io.windows_error);
}

}  // namespace

CodexFrameRead read_codex_frame(platform::LocalConnection& connection, std::int64_t deadline_ns) {
  CodexFrameRead frame;
  unsigned char length_bytes[4] = {};
  const platform::PipeIoResult length_io =
      connection.read_exact(length_bytes, sizeof length_bytes, deadline_ns, nullptr);
  if (length_io.status == platform::PipeIoStatus::timed_out) {
    frame.timed_out = true;
    frame.error = "timed out waiting for Codex Desktop IPC frame";
    return frame;
  }
  if (!length_io.completed()) {
    // Nothing at all arrived: the wait for data itself failed (the peer is gone).
    frame.error =
        length_io.bytes_transferred == 0
            ? "failed to peek Codex Desktop IPC pipe error=" + code_text(length_io)
            : "failed to read Codex Desktop IPC frame length error=" + code_text(length_io);
    return frame;
  }
  const std::uint32_t length =
      std::uint32_t{length_bytes[0]} | (std::uint32_t{length_bytes[1]} << 8) |
      (std::uint32_t{length_bytes[2]} << 16) | (std::uint32_t{length_bytes[3]} << 24);
  if (length == 0 || length > kCodexMaxFrameBytes) {
    frame.error = "invalid Codex Desktop IPC frame length " + std::to_string(length);
    return frame;
  }
  while (frame.body.size() < length) {
    const std::size_t chunk = std::min<std::size_t>(kBodyChunkBytes, length - frame.body.size());
    const std::size_t offset = frame.body.size();
    frame.body.resize(offset + chunk);
    const platform::PipeIoResult body_io =
        connection.read_exact(frame.body.data() + offset, chunk, deadline_ns, nullptr);
    if (!body_io.completed()) {
      frame.timed_out = body_io.status == platform::PipeIoStatus::timed_out;
      frame.error = "failed to read Codex Desktop IPC frame body error=" + code_text(body_io);
      frame.body.clear();
      return frame;
    }
  }
  frame.ok = true;
  return frame;
}

std::string write_codex_frame(platform::LocalConnection& connection, std::string_view body,
                              std::int64_t deadline_ns) {
  if (body.size() > kCodexMaxFrameBytes) return "Codex Desktop IPC frame too large";
  const auto length = static_cast<std::uint32_t>(body.size());
  std::string frame;
  frame.reserve(4 + body.size());
  for (int shift = 0; shift < 32; shift += 8)
    frame.push_back(static_cast<char>((length >> shift) & 0xFF));
  frame.append(body);
  const platform::PipeIoResult io =
      connection.write_exact(frame.data(), frame.size(), deadline_ns, nullptr);
  if (!io.completed()) return "failed to write Codex Desktop IPC frame error=" + code_text(io);
  return {};
}

}  // namespace tessik
