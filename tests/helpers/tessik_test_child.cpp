// A scriptable child process for the process-runner tests: its arguments are a list of
// actions run in order (sleep, write N bytes, echo stdin, start grandchildren, report its
// descriptors, pid and depth, exit with a code), so tests need no shell tricks.
//
//   sleep MS            out N / err N        print TEXT          print-arg TEXT
//   echo-stdin          input-check          ignore-term         print-pid
//   print-fds           print-depth          report-to PATH      wait-children
//   print-cwd           print-env NAME       exit CODE
//   spawn K FLAGS ACTIONS... end
//       starts K copies of this program running ACTIONS; FLAGS is "-" or any of
//       's' (new session) and 'd' (double fork: the copy is orphaned at once).
//       Prints "spawned PID START" for each copy (START: its start time from /proc).
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

int report_fd = 1;

void write_all(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) std::_Exit(3);
    done += static_cast<std::size_t>(n);
  }
}

void report(const std::string& line) {
  write_all(report_fd, line + "\n");
}

void sleep_ms(long ms) {
  timespec left{ms / 1000, (ms % 1000) * 1000000L};
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

std::string start_time_of(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(in, line);
  const auto close = line.rfind(')');
  if (close == std::string::npos) return "0";
  std::istringstream fields(line.substr(close + 2));
  std::string field;
  for (int index = 3; index <= 22 && fields >> field; ++index) {
  }
  return field;
}

void write_bytes(int fd, long count, char fill) {
  const std::string chunk(65536, fill);
  while (count > 0) {
    const long now = count < 65536 ? count : 65536;
    write_all(fd, chunk.substr(0, static_cast<std::size_t>(now)));
    count -= now;
  }
}

void echo_stdin() {
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(0, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    write_all(1, std::string(buffer, static_cast<std::size_t>(n)));
  }
}

void print_fds() {
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) std::_Exit(4);
  std::vector<int> fds;
  while (dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    const int fd = std::atoi(entry->d_name);
    if (fd != ::dirfd(dir) && (report_fd == 1 || fd != report_fd)) fds.push_back(fd);
  }
  ::closedir(dir);
  std::string line = "fds";
  for (const int fd : fds)
    line += " " + std::to_string(fd);
  report(line);
}

void spawn(int count, const std::string& flags, const std::vector<std::string>& actions) {
  std::vector<char*> argv;
  static const std::string self = "tessik_test_child";
  argv.push_back(const_cast<char*>(self.c_str()));
  for (const std::string& action : actions)
    argv.push_back(const_cast<char*>(action.c_str()));
  argv.push_back(nullptr);
  const bool new_session = flags.find('s') != std::string::npos;
  const bool double_fork = flags.find('d') != std::string::npos;
  for (int i = 0; i < count; ++i) {
    const pid_t pid = ::fork();
    if (pid < 0) std::_Exit(5);
    if (pid == 0) {
      if (new_session) ::setsid();
      if (double_fork) {
        const pid_t inner = ::fork();
        if (inner < 0) std::_Exit(5);
        if (inner > 0) {
          report("spawned " + std::to_string(inner) + " " + start_time_of(inner));
          std::_Exit(0);
        }
      }
      ::execv("/proc/self/exe", argv.data());
      std::_Exit(6);
    }
    if (double_fork) {
      int status = 0;
      ::waitpid(pid, &status, 0);
    } else {
      report("spawned " + std::to_string(pid) + " " + start_time_of(pid));
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& action = args[i];
    const auto next = [&]() -> const std::string& {
      if (i + 1 >= args.size()) {
        std::fprintf(stderr, "missing value after %s\n", action.c_str());
        std::_Exit(2);
      }
      return args[++i];
    };
    if (action == "sleep") {
      sleep_ms(std::atol(next().c_str()));
    } else if (action == "out" || action == "err") {
      write_bytes(action == "out" ? 1 : 2, std::atol(next().c_str()), action == "out" ? 'o' : 'e');
    } else if (action == "print") {
      report(next());
    } else if (action == "print-arg") {
      report("arg[" + next() + "]");
    } else if (action == "echo-stdin") {
      echo_stdin();
    } else if (action == "input-check") {
      pollfd input{0, POLLIN, 0};
      report(::poll(&input, 1, 0) > 0 ? "input-before-ready" : "no-input-before-ready");
    } else if (action == "ignore-term") {
      ::signal(SIGTERM, SIG_IGN);
    } else if (action == "print-pid") {
      report("pid " + std::to_string(::getpid()) + " " + start_time_of(::getpid()));
    } else if (action == "print-fds") {
      print_fds();
    } else if (action == "print-depth") {
      const char* depth = std::getenv("TESSIK_TEST_CHILD_DEPTH");
      report(std::string("depth ") + (depth != nullptr ? depth : "unset"));
    } else if (action == "print-cwd") {
      char cwd[4096];
      report(std::string("cwd ") + (::getcwd(cwd, sizeof cwd) != nullptr ? cwd : "?"));
    } else if (action == "print-env") {
      const std::string& name = next();
      const char* value = std::getenv(name.c_str());
      report("env " + name + "=" + (value != nullptr ? value : "(unset)"));
    } else if (action == "report-to") {
      report_fd = ::open(next().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
      if (report_fd < 0) std::_Exit(7);
    } else if (action == "wait-children") {
      int status = 0;
      while (::waitpid(-1, &status, 0) > 0 || errno == EINTR) {
      }
    } else if (action == "exit") {
      std::_Exit(std::atoi(next().c_str()));
    } else if (action == "spawn") {
      const int count = std::atoi(next().c_str());
      const std::string flags = next();
      std::vector<std::string> actions;
      while (i + 1 < args.size() && args[i + 1] != "end")
        actions.push_back(args[++i]);
      if (i + 1 < args.size()) ++i;  // skip "end"
      spawn(count, flags, actions);
    } else {
      std::fprintf(stderr, "unknown action %s\n", action.c_str());
      return 2;
    }
  }
  // A sanitizer's exit-time leak check would start a helper task of its own, which a run
  // with a tight launch budget counts like any other process.
  std::_Exit(0);
}
