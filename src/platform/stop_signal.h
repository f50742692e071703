// The process's stop signal: set by an interrupt, quit, hang-up or terminate signal, or by a
// caller's stop token, and observed by every wait on a local socket.
#pragma once

#include <atomic>
#include <optional>
#include <stop_token>
#include <string>

namespace tessik::platform {

class StopSignal {
 public:
  StopSignal() = default;
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;
  ~StopSignal() { close(); }

  // Creates the wake handle, registers on `token` (when it can be stopped) and, when
  // `handle_signals` is set, claims the process-wide signal slot and installs the handlers.
  // At most one StopSignal in the process holds the slot. Returns false, with everything
  // undone and a description in `error`, when any step fails. Call once per object.
  bool open(std::stop_token token, bool handle_signals, std::string* error = nullptr);

  // Restores the previous signal handling, frees the slot, drops the token registration and
  // closes the wake handle. Idempotent; the destructor calls it.
  void close();

  // Sets the signal; it stays set. Safe from any thread and from a signal handler.
  void request_stop() noexcept;
  bool stop_requested() const noexcept { return stopped_.load(std::memory_order_acquire); }

  // For the platform layer: a descriptor that turns readable once the signal is set,
  // -1 before open(). Never read from or written to by callers.
  int wait_handle() const noexcept { return wake_handle_; }

 private:
  struct TokenWake {
    StopSignal* self;
    void operator()() const noexcept { self->request_stop(); }
  };

  std::atomic<bool> stopped_{false};
  int wake_handle_ = -1;
  bool owns_signal_slot_ = false;
  std::optional<std::stop_callback<TokenWake>> token_registration_;
};

}  // namespace tessik::platform
