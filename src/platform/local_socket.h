// Local stream sockets (the substitute for named pipes): a single-owner server socket in the
// pipe directory, the client side, and exact-length reads and writes bounded by an absolute
// monotonic deadline and the stop signal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/pipe_io.h"

namespace tessik::platform {

class StopSignal;

// One connected stream, accepted by a server or opened by a client. Move-only; closing or
// destroying it disconnects. One thread at a time. Reads are buffered: bytes the peer sent
// beyond what a read asked for are kept for the next read of the same connection.
class LocalConnection {
 public:
  LocalConnection() = default;
  LocalConnection(const LocalConnection&) = delete;
  LocalConnection& operator=(const LocalConnection&) = delete;
  LocalConnection(LocalConnection&& other) noexcept;
  LocalConnection& operator=(LocalConnection&& other) noexcept;
  ~LocalConnection() { close(); }

  bool is_open() const { return handle_ >= 0; }
  void close();

  // Moves exactly `size` bytes, chunk by chunk, until done, the deadline (monotonic ns, see
  // monotonic_now_ns) passes (timed_out, 1460), `stop` fires (cancelled, 995) or the stream
  // fails. Both are checked before each chunk and after a chunk that moved bytes. A read that
  // meets the end of the stream, or a reset by the peer, fails with 109; a write that moves
  // nothing fails with 29; other failures carry errno. `stop` may be null. Zero bytes
  // complete at once. bytes_transferred counts the bytes moved before the outcome.
  PipeIoResult read_exact(void* buffer, std::size_t size, std::int64_t deadline_ns,
                          const StopSignal* stop);
  PipeIoResult write_exact(const void* data, std::size_t size, std::int64_t deadline_ns,
                           const StopSignal* stop);

  // The uid of the peer process as the kernel recorded it when the connection was made.
  std::optional<std::uint32_t> peer_uid() const;

 private:
  friend class LocalSocketServer;
  friend PipeIoResult connect_local_socket(const std::filesystem::path&, std::int64_t,
                                           LocalConnection&);
  explicit LocalConnection(int handle) : handle_(handle) {}
  long read_some(char* destination, std::size_t size);

  static constexpr std::size_t kReadAheadBytes = 64 * 1024;

  int handle_ = -1;
  // Bytes received but not yet handed out, [ahead_begin_, ahead_end_) of read_ahead_.
  std::unique_ptr<char[]> read_ahead_;
  std::size_t ahead_begin_ = 0;
  std::size_t ahead_end_ = 0;
  bool awaiting_answer_ = false;  // the last operation was a completed write
};

enum class ListenStatus {
  listening,
  already_owned,  // another live server holds the name
  insecure,       // the pipe directory is not private to this user
  failed,
};

// The server end of one named socket. Only one server per name exists at a time: ownership is
// an exclusive lock on "<socket>.lock"; a socket file left by a dead owner is replaced.
// The socket is 0600 inside a pipe directory that must be owned by this user with mode 0700.
// Destroying a listening server removes the socket file, then releases the lock.
class LocalSocketServer {
 public:
  LocalSocketServer() = default;
  LocalSocketServer(const LocalSocketServer&) = delete;
  LocalSocketServer& operator=(const LocalSocketServer&) = delete;
  ~LocalSocketServer() { close(); }

  // Creates and listens on `name` in the pipe directory. Anything but `listening` leaves the
  // object closed with a description in error().
  ListenStatus listen(const std::string& name);
  void close();

  const std::filesystem::path& path() const { return path_; }
  const std::string& error() const { return error_; }

  // Waits for the next client until the deadline or the stop signal. completed hands the
  // new connection over in `connection`; failed carries errno.
  PipeIoResult wait_for_client(std::int64_t deadline_ns, const StopSignal& stop,
                               LocalConnection& connection);

 private:
  int listen_handle_ = -1;
  int lock_handle_ = -1;
  std::filesystem::path path_;
  std::filesystem::path lock_path_;
  bool lock_held_ = false;
  std::string error_;
};

// Connects to the socket at `path`, retrying while its backlog is full until the deadline.
// A missing socket or no listener fails at once with errno (ENOENT, ECONNREFUSED).
PipeIoResult connect_local_socket(const std::filesystem::path& path, std::int64_t deadline_ns,
                                  LocalConnection& connection);

// True when the peer runs as the service account: its uid equals TESSIK_SERVICE_UID when that
// is set (read on every call), else 0. A value that is not a uid accepts nobody.
bool is_service_caller(const LocalConnection& connection);

}  // namespace tessik::platform
