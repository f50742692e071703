// The real tessik broker as a child process: start it, wait until it serves, signal it, and
// collect its exit code and stderr. Helper programs and fake peers are started the same way.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tessik::test {

class BrokerProcess {
 public:
  // Starts TESSIK_BINARY with `args` (e.g. {"broker"}) and the current environment; stderr goes
  // to a private temporary file. Throws std::runtime_error when the process cannot be started.
  explicit BrokerProcess(std::vector<std::string> args = {"broker"});
  // Starts another program (a helper or fake peer) the same way.
  BrokerProcess(std::string program, std::vector<std::string> args);
  // Kills the process if it still runs, reaps it and removes the stderr file.
  ~BrokerProcess();
  BrokerProcess(const BrokerProcess&) = delete;
  BrokerProcess& operator=(const BrokerProcess&) = delete;

  // True once the broker has printed its start-up lines, false when it exited or the time ran out.
  bool wait_until_serving(std::chrono::milliseconds timeout = std::chrono::seconds(10));

  // Waits for the exit; returns the exit code, 128 + signal for a signal death, or nullopt
  // when it still runs after `timeout`.
  std::optional<int> wait_for_exit(std::chrono::milliseconds timeout = std::chrono::seconds(10));

  bool running();
  void send_signal(int number);
  int pid() const { return pid_; }
  std::string stderr_text() const;

  // The broker socket of this process's session in the current pipe directory.
  static std::filesystem::path socket_path();

 private:
  int pid_ = -1;
  std::optional<int> exit_code_;
  std::filesystem::path stderr_path_;
};

}  // namespace tessik::test
