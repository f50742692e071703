// Outcome of one wait, read or write on a local socket, in the broker's vocabulary:
// a status word and the error number that goes into evidence events.
#pragma once

#include <cstdint>

namespace tessik::platform {

enum class PipeIoStatus : std::uint8_t { completed = 0, timed_out = 1, cancelled = 2, failed = 3 };

// Error numbers the primitives produce themselves; any other failure carries errno.
inline constexpr std::uint32_t kErrorInvalidData =
    13;                                                // frame length out of range on read, bad ack
inline constexpr std::uint32_t kErrorWriteFault = 29;  // a write moved zero bytes
inline constexpr std::uint32_t kErrorBrokenPipe = 109;        // the peer closed the connection
inline constexpr std::uint32_t kErrorBufferOverflow = 111;    // frame length out of range on write
inline constexpr std::uint32_t kErrorOperationAborted = 995;  // the stop signal fired
inline constexpr std::uint32_t kErrorTimeout = 1460;          // the deadline passed

struct PipeIoResult {
  PipeIoStatus status = PipeIoStatus::completed;
  std::uint32_t windows_error = 0;  // 0 when completed
  std::uint32_t bytes_transferred = 0;

  bool completed() const { return status == PipeIoStatus::completed; }
};

// "completed", "timed_out", "cancelled" or "failed".
inline const char* pipe_io_status_name(PipeIoStatus status) {
  switch (status) {
    case PipeIoStatus::completed:
      return "completed";
    case PipeIoStatus::timed_out:
      return "timed_out";
    case PipeIoStatus::cancelled:
      return "cancelled";
    case PipeIoStatus::failed:
      break;
  }
  return "failed";
}

inline PipeIoResult pipe_io_completed(std::uint32_t bytes) {
  return {PipeIoStatus::completed, 0, bytes};
}
inline PipeIoResult pipe_io_timed_out(std::uint32_t bytes) {
  return {PipeIoStatus::timed_out, kErrorTimeout, bytes};
}
inline PipeIoResult pipe_io_cancelled(std::uint32_t bytes) {
  return {PipeIoStatus::cancelled, kErrorOperationAborted, bytes};
}
inline PipeIoResult pipe_io_failed(std::uint32_t error, std::uint32_t bytes) {
  return {PipeIoStatus::failed, error, bytes};
}

}  // namespace tessik::platform
