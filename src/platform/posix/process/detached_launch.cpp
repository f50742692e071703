// The detached launcher: one posix_spawn into a new session, and the reaping of the processes
// it started, by pid, so that a long-lived launcher leaves no zombies behind.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <initializer_list>
#include <limits>
#include <mutex>
#include <vector>

#include "platform/bounded_process.h"
#include "platform/bounded_process_detail.h"
#include "platform/posix/process/launch_support.h"

namespace tessik::platform {
namespace {

using posix::system_message;

// Pids this process launched detached and has not reaped yet. Only these are ever waited
// for: a blanket wait would take the bounded runs' supervisors from their runners.
struct DetachedChildren {
  std::mutex mutex;
  std::vector<pid_t> pids;
};

DetachedChildren& detached_children() {
  static DetachedChildren children;
  return children;
}

void remember_detached_process(pid_t pid) {
  DetachedChildren& children = detached_children();
  const std::lock_guard lock(children.mutex);
  children.pids.push_back(pid);
}

// The spawn attributes and file actions of every detached launch: a new session (so the
// process survives the launcher's session and process group), default signal handling and an
// empty mask, the null device on the standard streams and no other descriptor.
class SpawnSettings {
 public:
  SpawnSettings() {
    error_ = ::posix_spawnattr_init(&attributes);
    if (error_ != 0) return;
    attributes_ready_ = true;
    error_ = ::posix_spawn_file_actions_init(&actions);
    if (error_ != 0) return;
    actions_ready_ = true;
    sigset_t all, none;
    ::sigfillset(&all);
    ::sigemptyset(&none);
    const short flags = POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    error_ = first_error({::posix_spawnattr_setflags(&attributes, flags),
                          ::posix_spawnattr_setsigmask(&attributes, &none),
                          ::posix_spawnattr_setsigdefault(&attributes, &all),
                          ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0),
                          ::posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0),
                          ::posix_spawn_file_actions_adddup2(&actions, 1, 2),
                          ::posix_spawn_file_actions_addclosefrom_np(&actions, 3)});
  }
  ~SpawnSettings() {
    if (actions_ready_) ::posix_spawn_file_actions_destroy(&actions);
    if (attributes_ready_) ::posix_spawnattr_destroy(&attributes);
  }
  SpawnSettings(const SpawnSettings&) = delete;
  SpawnSettings& operator=(const SpawnSettings&) = delete;

  int error() const { return error_; }

  posix_spawnattr_t attributes{};
  posix_spawn_file_actions_t actions{};

 private:
  static int first_error(std::initializer_list<int> codes) {
    for (const int code : codes) {
      if (code != 0) return code;
    }
    return 0;
  }

  int error_ = 0;
  bool attributes_ready_ = false;
  bool actions_ready_ = false;
};

}  // namespace

std::size_t reap_detached_processes() {
  DetachedChildren& children = detached_children();
  const std::lock_guard lock(children.mutex);
  std::erase_if(children.pids, [](pid_t pid) {
    int status = 0;
    pid_t done = 0;
    do {
      done = ::waitpid(pid, &status, WNOHANG);
    } while (done < 0 && errno == EINTR);
    // ECHILD: collected already (SIGCHLD ignored makes the kernel reap by itself).
    return done == pid || (done < 0 && errno == ECHILD);
  });
  return children.pids.size();
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

  // Finished launches are collected first, so a long-lived launcher keeps no zombies even
  // when nothing else calls the reaper.
  reap_detached_processes();
  SpawnSettings settings;
  if (settings.error() != 0) return failed(settings.error());
  pid_t pid = -1;
  // glibc's posix_spawn shares the caller's memory until exec and reports exec failures as
  // its result, so one call replaces the fork, the error pipe and the wait.
  const int error = ::posix_spawn(&pid, path.c_str(), &settings.actions, &settings.attributes,
                                  argv.data(), envp.data());
  if (error != 0) return failed(error);
  remember_detached_process(pid);
  result.state = "started";
  result.exit_code = 0;
  result.process_id = pid;
  return result;
}

}  // namespace tessik::platform
