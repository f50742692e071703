// A TCP listener whose connections wait for their request head in one poll loop instead of in
// a worker each: idle and trickling clients hold a socket, never a thread, and are dropped when
// their head does not arrive in time. Workers get connections with a whole head buffered.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace tessik::platform {

// One accepted TCP connection. Move-only; destroying it closes the socket. Bytes the gate
// read ahead are handed out first. One thread at a time.
class TcpConnection {
 public:
  TcpConnection() = default;
  TcpConnection(const TcpConnection&) = delete;
  TcpConnection& operator=(const TcpConnection&) = delete;
  TcpConnection(TcpConnection&& other) noexcept;
  TcpConnection& operator=(TcpConnection&& other) noexcept;
  ~TcpConnection() { close(); }

  bool is_open() const { return handle_ >= 0; }
  void close();

  // Up to `size` bytes: what is buffered, else what arrives before the deadline (monotonic
  // ns). Returns the count, 0 at the end of the stream, -1 on timeout or failure.
  long read_some(char* buffer, std::size_t size, std::int64_t deadline_ns);
  // True when a read would not wait past the deadline.
  bool wait_readable(std::int64_t deadline_ns) const;
  // All of `data` before the deadline, or false.
  bool write_all(const char* data, std::size_t size, std::int64_t deadline_ns);
  // After an answer: waits until the deadline for the next request head and reads what has
  // arrived (at most `max_head_bytes` buffered). True when a whole head is buffered, so the
  // caller may answer it at once; false leaves any partial head buffered for the gate.
  bool await_head(std::int64_t deadline_ns, std::size_t max_head_bytes);
  // Ends the connection after an answer whose request was not read to its end: stops
  // sending, then discards what the client still sends (at most `max_bytes`, until the
  // deadline) so that it can read the answer instead of meeting a reset, and closes.
  void close_after_draining(std::int64_t deadline_ns, std::size_t max_bytes);

  const std::string& peer_address() const { return peer_address_; }
  int peer_port() const { return peer_port_; }
  // The descriptor, for libraries that log or compare it; never for I/O of their own.
  int handle() const { return handle_; }

 private:
  friend class TcpGate;
  int handle_ = -1;
  std::string buffered_;  // read by the gate, not yet handed out
  std::size_t buffered_offset_ = 0;
  std::string peer_address_;
  int peer_port_ = 0;
  std::int64_t head_deadline_ns_ = 0;
};

struct TcpGateOptions {
  // From arrival (or the end of the previous request) until the head is complete.
  std::int64_t head_timeout_ns = 5'000'000'000;
  // A head still incomplete after this many bytes is handed over for the parser to refuse.
  std::size_t max_head_bytes = 16 * 1024;
  // Connections waiting at the gate; past this, the one that has waited longest is dropped.
  std::size_t max_waiting = 4096;
};

// Listens on one address; run() loops on the calling thread until stop().
class TcpGate {
 public:
  explicit TcpGate(TcpGateOptions options = {});
  ~TcpGate();
  TcpGate(const TcpGate&) = delete;
  TcpGate& operator=(const TcpGate&) = delete;

  // Binds and listens (port 0 picks a free port). False with a message in `error`.
  bool listen(const std::string& host, std::uint16_t port, std::string* error);
  std::uint16_t port() const { return port_; }

  // Accepts and waits for heads; calls `ready` on this thread for every connection whose head
  // is complete (it should hand the connection to a worker and return). Returns after stop().
  void run(const std::function<void(TcpConnection)>& ready);
  // Thread-safe. A connection whose answer was sent waits here for its next request.
  void resume(TcpConnection connection);
  // Thread-safe; also before run().
  void stop();

 private:
  struct Shared;
  TcpGateOptions options_;
  int listen_handle_ = -1;
  std::uint16_t port_ = 0;
  std::unique_ptr<Shared> shared_;
};

}  // namespace tessik::platform
