// Launches that are not supervised runs: the detached launcher, the shell command and PATH
// lookup of an executable.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <limits>
#include <system_error>

#include "platform/bounded_process.h"
#include "platform/bounded_process_detail.h"
#include "platform/posix/process/launch_support.h"
#include "platform/posix/process/supervisor.h"

namespace tessik::platform {
namespace {

using posix::system_message;

constexpr const char* kShell = "/bin/sh";
constexpr std::int64_t kShellTimeoutMs = 600000;

bool is_executable_file(const std::filesystem::path& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

ssize_t read_fully(int fd, void* buffer, std::size_t size) {
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = ::read(fd, static_cast<char*>(buffer) + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

}  // namespace

BoundedProcessResult run_shell_command(const std::string& command) {
  return run_bounded_process(make_bounded_options(kShell, {"-c", command}, kShellTimeoutMs));
}

ExecutableResolution resolve_executable_on_path(const std::string& name) {
  ExecutableResolution resolution;
  if (name.empty()) {
    resolution.error = "process executable is empty";
    return resolution;
  }
  std::error_code ec;
  if (name.find('/') != std::string::npos) {
    if (is_executable_file(name)) {
      resolution.path = std::filesystem::absolute(name, ec);
      if (ec) resolution.error = "could not resolve process executable: " + ec.message();
    } else {
      resolution.error = "process executable was not found on PATH: " + name;
    }
    return resolution;
  }
  const char* search = std::getenv("PATH");
  const std::string path_list = search != nullptr ? search : "/usr/local/bin:/usr/bin:/bin";
  std::size_t begin = 0;
  for (;;) {
    const std::size_t end = path_list.find(':', begin);
    const std::string directory =
        path_list.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
    // An empty entry names the current directory, as the shell reads it.
    const std::filesystem::path candidate =
        std::filesystem::path(directory.empty() ? "." : directory) / name;
    if (is_executable_file(candidate)) {
      resolution.path = std::filesystem::absolute(candidate, ec);
      if (ec) resolution.error = "could not resolve process executable: " + ec.message();
      return resolution;
    }
    if (end == std::string::npos) break;
    begin = end + 1;
  }
  resolution.error = "process executable was not found on PATH: " + name;
  return resolution;
}

DetachedProcessResult launch_detached_process(
    const std::filesystem::path& executable, const std::vector<std::string>& arguments,
    const std::vector<std::pair<std::string, std::string>>& environment_overrides) {
  DetachedProcessResult result;
  const ChildDepthResult depth = read_child_depth();
  if (!depth.error.empty()) {
    result.error = depth.error;
    return result;
  }
  if (depth.depth == std::numeric_limits<std::uint32_t>::max()) {
    result.error = "detached process recursion depth overflow";
    return result;
  }
  const std::string path = executable.string();
  const auto failed = [&](int error) {
    result.error = "CreateProcessW failed: " + system_message(error) + " executable=" + path;
    return result;
  };
  std::vector<std::string> env_texts;
  if (!detail::build_child_environment(detail::current_environment(), environment_overrides,
                                       depth.depth + 1, env_texts, result.error)) {
    return result;
  }
  std::vector<std::string> argv_texts{path};
  argv_texts.insert(argv_texts.end(), arguments.begin(), arguments.end());
  if (!posix::free_of_nul(argv_texts)) {
    result.error = "detached process arguments must not contain NUL characters";
    return result;
  }
  std::vector<char*> argv = posix::c_string_pointers(argv_texts);
  std::vector<char*> envp = posix::c_string_pointers(env_texts);

  const int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null_fd < 0) return failed(errno);
  // Two channels, because the program's exec error may arrive before its pid is written.
  int pid_pipe[2], error_pipe[2];
  if (::pipe2(pid_pipe, O_CLOEXEC) != 0) {
    const int error = errno;
    ::close(null_fd);
    return failed(error);
  }
  if (::pipe2(error_pipe, O_CLOEXEC) != 0) {
    const int error = errno;
    ::close(null_fd);
    ::close(pid_pipe[0]);
    ::close(pid_pipe[1]);
    return failed(error);
  }
  posix::ChildSpawnPlan plan;
  plan.path = path.c_str();
  plan.argv = argv.data();
  plan.envp = envp.data();
  plan.stdin_fd = plan.stdout_fd = plan.stderr_fd = null_fd;
  plan.new_session = false;  // the intermediate below already made the session
  // The intermediate process exits at once, so the program is nobody's child here: it is
  // re-parented outside this process, and no bounded run of this process supervises it.
  const pid_t intermediate = ::fork();
  if (intermediate == 0) {
    ::close(pid_pipe[0]);
    ::close(error_pipe[0]);
    ::setsid();
    const pid_t pid = ::fork();
    if (pid == 0) posix::exec_child(plan, error_pipe[1]);
    const std::int64_t reported = pid;
    while (::write(pid_pipe[1], &reported, sizeof reported) < 0 && errno == EINTR) {
    }
    ::_exit(pid < 0 ? 1 : 0);
  }
  const int fork_error = errno;
  ::close(pid_pipe[1]);
  ::close(error_pipe[1]);
  ::close(null_fd);
  if (intermediate < 0) {
    ::close(pid_pipe[0]);
    ::close(error_pipe[0]);
    return failed(fork_error);
  }
  int status = 0;
  while (::waitpid(intermediate, &status, 0) < 0 && errno == EINTR) {
  }
  std::int64_t pid = -1;
  int exec_error = 0;
  const bool got_pid = read_fully(pid_pipe[0], &pid, sizeof pid) == sizeof pid && pid > 0;
  // End of file without an error number means the exec succeeded (the pipe closed on exec).
  const bool exec_failed = got_pid && read_fully(error_pipe[0], &exec_error, sizeof exec_error) ==
                                          static_cast<ssize_t>(sizeof exec_error);
  ::close(pid_pipe[0]);
  ::close(error_pipe[0]);
  if (!got_pid) return failed(EAGAIN);
  if (exec_failed) return failed(exec_error);
  result.state = "started";
  result.exit_code = 0;
  result.process_id = pid;
  return result;
}

}  // namespace tessik::platform
