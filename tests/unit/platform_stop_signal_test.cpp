// Stop signal contract: tokens, signals, the single owner of the signal handlers, wake-ups.
#include <gtest/gtest.h>
#include <poll.h>

#include <csignal>
#include <thread>

#include "platform/stop_signal.h"

namespace tessik::platform {
namespace {

bool wake_handle_readable(const StopSignal& signal, int timeout_ms) {
  pollfd fd{signal.wait_handle(), POLLIN, 0};
  return ::poll(&fd, 1, timeout_ms) == 1 && (fd.revents & POLLIN);
}

TEST(StopSignal, TokenStoppedBeforeOrAfterOpen) {
  std::stop_source early;
  early.request_stop();
  StopSignal already;
  ASSERT_TRUE(already.open(early.get_token(), false));
  EXPECT_TRUE(already.stop_requested());
  EXPECT_TRUE(wake_handle_readable(already, 0));

  std::stop_source late;
  StopSignal signal;
  ASSERT_TRUE(signal.open(late.get_token(), false));
  EXPECT_FALSE(signal.stop_requested());
  EXPECT_FALSE(wake_handle_readable(signal, 0));
  std::thread stopper([&] { late.request_stop(); });
  stopper.join();
  EXPECT_TRUE(signal.stop_requested());
  EXPECT_TRUE(wake_handle_readable(signal, 1000));
}

TEST(StopSignal, ClosedSignalIgnoresItsToken) {
  std::stop_source source;
  StopSignal signal;
  ASSERT_TRUE(signal.open(source.get_token(), false));
  signal.close();
  source.request_stop();  // the registration is gone with close()
  EXPECT_FALSE(signal.stop_requested());
  EXPECT_EQ(signal.wait_handle(), -1);
}

int g_previous_handler_calls = 0;
void previous_handler(int) {
  ++g_previous_handler_calls;
}

TEST(StopSignal, EachStopSignalSetsItAndPreviousHandlingReturnsOnClose) {
  for (const int number : {SIGINT, SIGQUIT, SIGHUP, SIGTERM}) {
    struct sigaction previous {};
    previous.sa_handler = previous_handler;
    ::sigemptyset(&previous.sa_mask);
    struct sigaction saved {};
    ASSERT_EQ(::sigaction(number, &previous, &saved), 0);
    {
      StopSignal signal;
      ASSERT_TRUE(signal.open({}, true));
      ASSERT_EQ(::raise(number), 0);
      EXPECT_TRUE(signal.stop_requested()) << number;
      EXPECT_TRUE(wake_handle_readable(signal, 1000)) << number;
    }
    g_previous_handler_calls = 0;
    ASSERT_EQ(::raise(number), 0);
    EXPECT_EQ(g_previous_handler_calls, 1) << "handler of signal " << number << " not restored";
    ::sigaction(number, &saved, nullptr);
  }
}

TEST(StopSignal, OnlyOneOwnerOfTheSignalHandlers) {
  StopSignal first;
  ASSERT_TRUE(first.open({}, true));
  StopSignal second;
  std::string error;
  EXPECT_FALSE(second.open({}, true, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(second.wait_handle(), -1) << "a failed open undoes itself";
  StopSignal without_signals;
  EXPECT_TRUE(without_signals.open({}, false));
  first.close();
  StopSignal third;
  EXPECT_TRUE(third.open({}, true));
}

TEST(StopSignal, ProgrammaticRequestWakesWaiters) {
  StopSignal signal;
  ASSERT_TRUE(signal.open({}, false));
  std::thread stopper([&] { signal.request_stop(); });
  EXPECT_TRUE(wake_handle_readable(signal, 5000));
  stopper.join();
  signal.request_stop();  // repeated requests are harmless
  EXPECT_TRUE(signal.stop_requested());
}

}  // namespace
}  // namespace tessik::platform
