// Stop signal on POSIX: an eventfd that signal handlers and stop-token callbacks write to, so
// that poll() on a socket wakes up at once. Only async-signal-safe calls run in the handler.
#include "platform/stop_signal.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>

namespace tessik::platform {
namespace {

constexpr std::array<int, 4> kStopSignals = {SIGINT, SIGQUIT, SIGHUP, SIGTERM};

// The one StopSignal that owns the process's signal handlers; claimed by compare-and-swap.
std::atomic<StopSignal*> g_signal_owner{nullptr};
static_assert(std::atomic<StopSignal*>::is_always_lock_free);
static_assert(std::atomic<bool>::is_always_lock_free);

// Dispositions in force before the owner installed its handlers; only the owner touches them.
std::array<struct sigaction, kStopSignals.size()> g_previous_actions;

void on_stop_signal(int) {
  const int saved_errno = errno;
  if (StopSignal* owner = g_signal_owner.load(std::memory_order_acquire)) owner->request_stop();
  errno = saved_errno;
}

void restore_actions(std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    ::sigaction(kStopSignals[i], &g_previous_actions[i], nullptr);
  }
}

bool install_actions(std::string* error) {
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  ::sigemptyset(&action.sa_mask);
  for (std::size_t i = 0; i < kStopSignals.size(); ++i) {
    if (::sigaction(kStopSignals[i], &action, &g_previous_actions[i]) != 0) {
      if (error) *error = std::string("could not install signal handler: ") + std::strerror(errno);
      restore_actions(i);
      return false;
    }
  }
  return true;
}

}  // namespace

bool StopSignal::open(std::stop_token token, bool handle_signals, std::string* error) {
  wake_handle_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake_handle_ < 0) {
    if (error) *error = std::string("could not create stop event: ") + std::strerror(errno);
    return false;
  }
  if (handle_signals) {
    StopSignal* expected = nullptr;
    if (!g_signal_owner.compare_exchange_strong(expected, this, std::memory_order_acq_rel)) {
      if (error) *error = "the process's signal handlers belong to another stop signal";
      close();
      return false;
    }
    if (!install_actions(error)) {
      // install_actions put back what it changed; only the slot remains to be given up.
      g_signal_owner.store(nullptr, std::memory_order_release);
      close();
      return false;
    }
    owns_signal_slot_ = true;
  }
  // Registered last: a token that is already stopped runs the callback right here.
  if (token.stop_possible()) token_registration_.emplace(token, TokenWake{this});
  return true;
}

void StopSignal::close() {
  if (owns_signal_slot_) {
    restore_actions(kStopSignals.size());
    g_signal_owner.store(nullptr, std::memory_order_release);
    owns_signal_slot_ = false;
  }
  token_registration_.reset();
  if (wake_handle_ >= 0) {
    ::close(wake_handle_);
    wake_handle_ = -1;
  }
}

void StopSignal::request_stop() noexcept {
  stopped_.store(true, std::memory_order_release);
  if (wake_handle_ >= 0) {
    const std::uint64_t one = 1;
    // A full counter (EAGAIN) is still readable, which is all a waiter needs.
    [[maybe_unused]] const ssize_t ignored = ::write(wake_handle_, &one, sizeof one);
  }
}

}  // namespace tessik::platform
