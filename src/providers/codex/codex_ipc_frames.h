// Frames on the Codex desktop IPC pipe: a 4-byte little-endian length, then that many bytes of
// UTF-8 JSON, in both directions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/local_socket.h"

namespace tessik {

// The largest frame body either side may send (64 MiB).
inline constexpr std::uint32_t kCodexMaxFrameBytes = 67108864;

struct CodexFrameRead {
  bool ok = false;
  bool timed_out = false;  // nothing complete arrived before the deadline
  std::string body;
  std::string error;  // the reason when not ok
};

// Reads one frame before `deadline_ns` (monotonic). A length of 0 or above the maximum is
// refused before any body is read; the body is received in bounded chunks, so a peer that
// announces a large frame and sends little costs no more memory than it sent.
CodexFrameRead read_codex_frame(platform::LocalConnection& connection, std::int64_t deadline_ns);

// Writes one frame before `deadline_ns`. Empty on success, else the reason.
std::string write_codex_frame(platform::LocalConnection& connection, std::string_view body,
                              std::int64_t deadline_ns);

}  // namespace tessik
