// Child-process control for broker tests.
#include "support/broker_process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

#include "platform/session_id.h"
#include "support/build_paths.h"
#include "wire/frames.h"

extern char** environ;

namespace tessik::test {

BrokerProcess::BrokerProcess(std::vector<std::string> args)
    : BrokerProcess(TESSIK_BINARY, std::move(args)) {}

BrokerProcess::BrokerProcess(std::string program, std::vector<std::string> args) {
  std::string pattern = "/tmp/tessik-broker-stderr-XXXXXX";
  const int fd = ::mkstemp(pattern.data());
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  ::close(fd);
  stderr_path_ = pattern;

  std::vector<std::string> argv_text{std::move(program)};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : argv_text)
    argv.push_back(arg.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_addopen(&actions, 2, stderr_path_.c_str(), O_WRONLY | O_TRUNC, 0);
  const int error = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  if (error != 0) throw std::runtime_error("could not start " + argv_text[0]);
}

BrokerProcess::~BrokerProcess() {
  if (running()) {
    ::kill(pid_, SIGKILL);
    wait_for_exit(std::chrono::seconds(10));
  }
  std::error_code ignored;
  std::filesystem::remove(stderr_path_, ignored);
}

bool BrokerProcess::running() {
  if (exit_code_) return false;
  int status = 0;
  const pid_t done = ::waitpid(pid_, &status, WNOHANG);
  if (done != pid_) return true;
  exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return false;
}

std::optional<int> BrokerProcess::wait_for_exit(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (running()) {
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return exit_code_;
}

bool BrokerProcess::wait_until_serving(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (stderr_text().find("pipe directory: ") != std::string::npos) return true;
    if (!running()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

void BrokerProcess::send_signal(int number) {
  if (running()) ::kill(pid_, number);
}

std::string BrokerProcess::stderr_text() const {
  std::ifstream file(stderr_path_);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

std::filesystem::path BrokerProcess::socket_path() {
  return broker_socket_path(platform::current_session_id().value());
}

}  // namespace tessik::test
