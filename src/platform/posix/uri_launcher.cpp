// URI opening through xdg-open, the desktop's stand-in for the shell's "open" verb. The
// opener runs in its own session so that a handler it starts outlives this process.
#include "platform/uri_launcher.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "platform/bounded_process.h"

extern char** environ;

namespace tessik::platform {
namespace {

UriOpenResult refused(int code) {
  UriOpenResult result;
  result.code = code;
  result.error = "ShellExecute failed: " + std::to_string(code);
  return result;
}

}  // namespace

UriOpenResult open_uri(const std::string& uri, std::int64_t timeout_ms) {
  const ExecutableResolution opener = resolve_executable_on_path("xdg-open");
  if (!opener.error.empty()) return refused(kUriOpenerMissingCode);

  std::string program = opener.path.string();
  std::string argument = uri;
  char* argv[] = {program.data(), argument.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawnattr_init(&attributes);
  for (int stream = 0; stream <= 2; ++stream) {
    ::posix_spawn_file_actions_addopen(&actions, stream, "/dev/null",
                                       stream == 0 ? O_RDONLY : O_WRONLY, 0);
  }
  ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  pid_t pid = -1;
  const int spawn_error = ::posix_spawn(&pid, argv[0], &actions, &attributes, argv, environ);
  ::posix_spawn_file_actions_destroy(&actions);
  ::posix_spawnattr_destroy(&attributes);
  if (spawn_error != 0) return refused(spawn_error);

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return {true, 0, ""};
      return refused(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    }
    if (done < 0) return {true, 0, ""};  // reaped elsewhere; it did start
    if (std::chrono::steady_clock::now() >= deadline) {
      // It has the URI and keeps handling it; reap it whenever it ends.
      std::thread([pid] { ::waitpid(pid, nullptr, 0); }).detach();
      return {true, 0, ""};
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace tessik::platform
