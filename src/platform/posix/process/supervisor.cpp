// The per-run supervisor and the exec step of forked children. Both run after fork() in a
// multi-threaded program, so they use raw system calls only: no malloc, no stdio, no locks.
#include "platform/posix/process/supervisor.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>

#include "platform/posix/process/process_tree.h"

namespace tessik::platform::posix {
namespace {

// Room for the process table of the whole system; mapped lazily, so only touched pages count.
constexpr std::size_t kProcessTableCapacity = 1u << 17;

void close_from(int first) {
  if (::syscall(SYS_close_range, first, ~0U, 0) == 0) return;
  rlimit limit{};
  const int last = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                       ? static_cast<int>(limit.rlim_cur)
                       : 65536;
  for (int fd = first; fd < last; ++fd)
    ::close(fd);
}

// Closes every descriptor from 3 up except those in `keep` (sorted ascending, all >= 3).
void close_all_except(const int* keep, int count) {
  int next = 3;
  for (int i = 0; i < count; ++i) {
    if (keep[i] < next) continue;
    if (keep[i] > next && ::syscall(SYS_close_range, next, keep[i] - 1, 0) != 0) {
      for (int fd = next; fd < keep[i]; ++fd)
        ::close(fd);
    }
    next = keep[i] + 1;
  }
  close_from(next);
}

void sort_small(int* values, int count) {
  for (int i = 1; i < count; ++i) {
    for (int j = i; j > 0 && values[j - 1] > values[j]; --j) {
      const int swap = values[j];
      values[j] = values[j - 1];
      values[j - 1] = swap;
    }
  }
}

void reset_signals() {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig != SIGKILL && sig != SIGSTOP) ::sigaction(sig, &action, nullptr);
  }
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

void ignore_signal(int sig) {
  struct sigaction action {};
  action.sa_handler = SIG_IGN;
  ::sigaction(sig, &action, nullptr);
}

void send_message(int channel, SupervisorEvent event, std::int32_t value, std::int64_t extra) {
  const SupervisorMessage message{static_cast<std::int32_t>(event), value, extra};
  // A runner that is gone cannot be told; the tree is killed either way.
  while (::send(channel, &message, sizeof message, MSG_NOSIGNAL) < 0 && errno == EINTR) {
  }
}

[[noreturn]] void fail_setup(int channel, int error) {
  send_message(channel, SupervisorEvent::spawn_failed, error,
               static_cast<std::int64_t>(SpawnStep::supervisor));
  send_message(channel, SupervisorEvent::tree_empty, 0, 0);
  ::_exit(0);
}

struct Supervision {
  int channel;
  int signal_fd;
  int main_pid;
  bool main_reported;
  bool killing;
  ProcessTable table;
};

// Reaps whatever has ended. Returns true when no child is left, which for a subreaper means
// no descendant at all: every orphan of the tree is re-parented here.
bool reap(Supervision& s) {
  for (;;) {
    int status = 0;
    const pid_t pid = ::waitpid(-1, &status, WNOHANG);
    if (pid > 0) {
      if (pid == s.main_pid && !s.main_reported) {
        s.main_reported = true;
        send_message(s.channel, SupervisorEvent::main_exited, status, s.killing ? 1 : 0);
      }
      continue;
    }
    if (pid < 0 && errno == EINTR) continue;
    return pid < 0 && errno == ECHILD;
  }
}

void drain_signal_fd(int fd) {
  signalfd_siginfo info[8];
  while (::read(fd, info, sizeof info) > 0) {
  }
}

void kill_tree(Supervision& s) {
  const int self = static_cast<int>(::getpid());
  if (!scan_processes(s.table)) {
    // Without /proc the first process's group is all that can be named; its orphans come
    // back here and are reaped as they end.
    if (s.main_pid > 0) ::kill(-s.main_pid, SIGKILL);
    return;
  }
  mark_descendants(s.table, self);
  for (std::size_t i = 0; i < s.table.count; ++i) {
    const ProcessEntry& entry = s.table.entries[i];
    if (entry.in_tree && entry.state != 'Z') kill_process_if_same(entry.pid, entry.start_time);
  }
}

[[noreturn]] void finish(Supervision& s) {
  send_message(s.channel, SupervisorEvent::tree_empty, 0, 0);
  ::_exit(0);
}

[[noreturn]] void kill_until_empty(Supervision& s) {
  s.killing = true;
  for (;;) {
    kill_tree(s);
    if (reap(s)) finish(s);
    pollfd wait{s.signal_fd, POLLIN, 0};
    ::poll(&wait, 1, 10);
    drain_signal_fd(s.signal_fd);
  }
}

int start_first_process(const ChildSpawnPlan& plan, int channel, int* error_out) {
  int error_pipe[2];
  if (::pipe2(error_pipe, O_CLOEXEC) != 0) {
    *error_out = errno;
    return -1;
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(error_pipe[0]);
    ::close(channel);
    exec_child(plan, error_pipe[1]);
  }
  const int fork_error = errno;
  ::close(error_pipe[1]);
  if (pid < 0) {
    ::close(error_pipe[0]);
    *error_out = fork_error;
    return -1;
  }
  int exec_error = 0;
  ssize_t got;
  do {
    got = ::read(error_pipe[0], &exec_error, sizeof exec_error);
  } while (got < 0 && errno == EINTR);
  ::close(error_pipe[0]);
  *error_out = got == static_cast<ssize_t>(sizeof exec_error) ? exec_error : 0;
  return pid;
}

}  // namespace

void exec_child(const ChildSpawnPlan& plan, int error_fd) {
  // Park every descriptor we need above the standard range before placing them, so that a
  // source that already sits on 0..4 is not overwritten by an earlier placement.
  const int in = ::fcntl(plan.stdin_fd, F_DUPFD_CLOEXEC, 10);
  const int out = ::fcntl(plan.stdout_fd, F_DUPFD_CLOEXEC, 10);
  const int err = ::fcntl(plan.stderr_fd, F_DUPFD_CLOEXEC, 10);
  const int report = ::fcntl(error_fd, F_DUPFD_CLOEXEC, 10);
  const int program = plan.exec_fd >= 0 ? ::fcntl(plan.exec_fd, F_DUPFD_CLOEXEC, 10) : -1;
  int error = 0;
  if (in < 0 || out < 0 || err < 0 || report < 0 || (plan.exec_fd >= 0 && program < 0)) {
    error = errno;
  } else if (::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0 ||
             ::dup3(report, 3, O_CLOEXEC) < 0 ||
             (program >= 0 && ::dup3(program, 4, O_CLOEXEC) < 0)) {
    error = errno;
  }
  const int status_fd = error == 0 ? 3 : (report >= 0 ? report : error_fd);
  if (error == 0) close_from(program >= 0 ? 5 : 4);
  reset_signals();
  if (error == 0 && plan.new_session && ::setsid() < 0) error = errno;
  if (error == 0 && plan.disable_core_dumps) {
    const rlimit none{0, 0};
    ::setrlimit(RLIMIT_CORE, &none);
  }
  if (error == 0 && plan.working_directory != nullptr && ::chdir(plan.working_directory) != 0) {
    error = errno;
  }
  if (error == 0) {
    if (program >= 0) {
      ::syscall(SYS_execveat, 4, "", plan.argv, plan.envp, AT_EMPTY_PATH);
    } else {
      ::execve(plan.path, plan.argv, plan.envp);
    }
    error = errno;
  }
  while (::write(status_fd, &error, sizeof error) < 0 && errno == EINTR) {
  }
  ::_exit(127);
}

void run_supervisor(const ChildSpawnPlan& plan, int channel_fd) {
  // Stray descriptors of the runner's process (other runs' pipes among them) must not be
  // held open here, or those runs would not see their pipes close.
  int keep[] = {channel_fd, plan.stdin_fd, plan.stdout_fd, plan.stderr_fd, plan.exec_fd};
  const int keep_count = plan.exec_fd >= 0 ? 5 : 4;
  sort_small(keep, keep_count);
  close_all_except(keep, keep_count);

  // Signals meant for the runner's process group must not take the supervisor down and
  // leave the tree unwatched; it ends when its work is done or when killed outright.
  reset_signals();
  for (const int sig : {SIGPIPE, SIGINT, SIGQUIT, SIGHUP, SIGTERM, SIGTSTP, SIGTTIN, SIGTTOU}) {
    ignore_signal(sig);
  }
  sigset_t child_signal;
  ::sigemptyset(&child_signal);
  ::sigaddset(&child_signal, SIGCHLD);
  ::sigprocmask(SIG_BLOCK, &child_signal, nullptr);

  Supervision s{channel_fd, -1, -1, false, false, ProcessTable{}};
  if (::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0) fail_setup(channel_fd, errno);
  s.signal_fd = ::signalfd(-1, &child_signal, SFD_NONBLOCK | SFD_CLOEXEC);
  if (s.signal_fd < 0) fail_setup(channel_fd, errno);
  if (!allocate_process_table(s.table, kProcessTableCapacity)) fail_setup(channel_fd, errno);

  int error = 0;
  s.main_pid = start_first_process(plan, channel_fd, &error);
  ::close(plan.stdin_fd);
  ::close(plan.stdout_fd);
  ::close(plan.stderr_fd);
  if (plan.exec_fd >= 0) ::close(plan.exec_fd);
  if (s.main_pid < 0 || error != 0) {
    send_message(channel_fd, SupervisorEvent::spawn_failed, error,
                 static_cast<std::int64_t>(SpawnStep::process));
    s.main_reported = true;  // a process that never ran has no exit status worth reporting
    kill_until_empty(s);
  }
  send_message(channel_fd, SupervisorEvent::started, s.main_pid, 0);

  for (;;) {
    pollfd fds[2] = {{channel_fd, POLLIN, 0}, {s.signal_fd, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) kill_until_empty(s);
    if (fds[1].revents != 0) drain_signal_fd(s.signal_fd);
    if (reap(s)) finish(s);
    if (fds[0].revents != 0) {
      char command = 0;
      const ssize_t got = ::recv(channel_fd, &command, 1, MSG_DONTWAIT);
      // A closed channel means the runner is gone: nobody supervises the tree any more.
      if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR) ||
          command == kKillTreeCommand) {
        kill_until_empty(s);
      }
    }
  }
}

}  // namespace tessik::platform::posix
