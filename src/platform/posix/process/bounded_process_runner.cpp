// The bounded run on POSIX. A per-run supervisor process (a child subreaper, see
// supervisor.h) keeps the tree together; this side drives the loop: limits, deadlines,
// readiness, input release, and the accounting read from /proc between waits.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <new>
#include <set>
#include <system_error>
#include <utility>

#include "platform/bounded_process.h"
#include "platform/bounded_process_detail.h"
#include "platform/posix/process/launch_support.h"
#include "platform/posix/process/process_pipes.h"
#include "platform/posix/process/process_tree.h"
#include "platform/posix/process/supervisor.h"

namespace tessik::platform {
namespace {

using detail::StopReason;
using Clock = std::chrono::steady_clock;
using posix::system_message;

// Failure texts name each step as the Windows build does (the supervisor stands for the job
// object, its socket for the completion port), so logs and callers read the same everywhere.
constexpr int kPollStepMs = 25;
// How long the supervisor gets to confirm a killed tree is gone; SIGKILL normally takes
// microseconds, but a process stuck in the kernel can take longer.
constexpr int kTerminationGraceMs = 5000;
constexpr std::size_t kProcessTableCapacity = 1u << 17;

struct Descriptor {
  int fd = -1;
  Descriptor() = default;
  explicit Descriptor(int value) : fd(value) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() { reset(); }
  void reset(int value = -1) {
    if (fd >= 0) ::close(fd);
    fd = value;
  }
  int release() { return std::exchange(fd, -1); }
};

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Native programs are executed through the descriptor that was checked, so the file cannot be
// swapped between the check and the start. Scripts need their path (the interpreter reopens
// them), so they are executed by path.
bool is_native_program(int path_fd) {
  const std::string reopen = "/proc/self/fd/" + std::to_string(path_fd);
  Descriptor file(::open(reopen.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.fd < 0) return false;
  char magic[4] = {};
  return ::pread(file.fd, magic, sizeof magic, 0) == 4 && magic[0] == 0x7f && magic[1] == 'E' &&
         magic[2] == 'L' && magic[3] == 'F';
}

int poll_timeout_ms(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, kPollStepMs));
}

// now + ms, saturating: a time-out too large for the clock means no deadline at all.
Clock::time_point deadline_after(Clock::time_point now, std::int64_t ms) {
  const auto room =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - now);
  return ms >= room.count() ? Clock::time_point::max() : now + std::chrono::milliseconds(ms);
}

class BoundedRun {
 public:
  BoundedRun(const BoundedProcessOptions& options, BoundedProcessResult& result)
      : options_(options),
        result_(result),
        pipes_(std::min(options.output_limit, kMaxBoundedOutputBytes), options.initial_input,
               options.deferred_input) {}
  ~BoundedRun() {
    end_tree();
    posix::release_process_table(table_);
  }

  // Returns false with the result's error set when the run could not be set up.
  bool prepare(std::uint32_t depth);
  void supervise();
  // Collects output, flags and exit code into the result once the tree is gone.
  void finish();

 private:
  bool fail(std::string message) {
    result_.error = std::move(message);
    return false;
  }
  bool lock_executables();
  bool start_supervisor(posix::ChildSpawnPlan& plan, Descriptor& child_in, Descriptor& child_out,
                        Descriptor& child_err);
  bool await_start();
  // Reads what the supervisor reported, waiting at most `timeout_ms`. False when the
  // supervisor went away without confirming an empty tree.
  bool read_messages(int timeout_ms);
  void handle(const posix::SupervisorMessage& message);
  void account();
  StopReason check_stop_reasons(Clock::time_point deadline, Clock::time_point readiness_deadline);
  void terminate(StopReason reason);
  // Makes sure no process of the tree is left (as far as it can be confirmed) and the
  // supervisor is reaped. Sets no flag; safe to call more than once.
  void end_tree();
  void kill_seen_processes();

  const BoundedProcessOptions& options_;
  BoundedProcessResult& result_;
  posix::ProcessPipes pipes_;
  Descriptor executable_fd_;
  Descriptor expected_fd_;
  Descriptor channel_;
  pid_t supervisor_pid_ = -1;
  std::string inbox_;
  std::vector<std::string> argv_texts_;
  std::vector<std::string> env_texts_;
  posix::ProcessTable table_;
  std::set<std::pair<int, std::uint64_t>> seen_;
  std::uint64_t launches_ = 0;
  int main_pid_ = -1;
  bool spawn_failed_ = false;
  bool main_exited_ = false;
  bool main_killed_ = false;
  int main_status_ = 0;
  bool tree_empty_ = false;
  bool supervisor_lost_ = false;
  bool readiness_released_ = false;
  std::string output_snapshot_;
  StopReason stop_ = StopReason::none;
};

bool BoundedRun::lock_executables() {
  // O_PATH holds the files without needing read permission; identity is compared by device
  // and inode, so links and symbolic links to the same file are the same file.
  executable_fd_.reset(::open(options_.executable.c_str(), O_PATH | O_CLOEXEC));
  if (executable_fd_.fd < 0) {
    return fail("could not lock bounded process executable: " + system_message(errno));
  }
  expected_fd_.reset(::open(options_.expected_executable.c_str(), O_PATH | O_CLOEXEC));
  if (expected_fd_.fd < 0)
    return fail("could not lock expected executable: " + system_message(errno));
  struct stat executable {
  }, expected{};
  if (::fstat(executable_fd_.fd, &executable) != 0 || ::fstat(expected_fd_.fd, &expected) != 0 ||
      !same_file(executable, expected)) {
    return fail("bounded process executable identity does not match the expected executable");
  }
  if (!options_.self_launch_allowed) {
    struct stat self {};
    if (::stat("/proc/self/exe", &self) != 0) {
      return fail("could not open current executable for identity comparison: " +
                  system_message(errno));
    }
    if (same_file(self, executable))
      return fail("bounded process must not launch the current executable");
  }
  return true;
}

bool BoundedRun::prepare(std::uint32_t depth) {
  if (!lock_executables()) return false;
  std::string env_error;
  if (!detail::build_child_environment(detail::current_environment(),
                                       options_.environment_overrides, depth + 1, env_texts_,
                                       env_error)) {
    return fail(env_error);
  }
  argv_texts_.push_back(options_.executable.string());
  argv_texts_.insert(argv_texts_.end(), options_.arguments.begin(), options_.arguments.end());
  if (!posix::free_of_nul(argv_texts_)) {
    return fail("bounded process arguments must not contain NUL characters");
  }
  try {
    pipes_.reserve_output();
  } catch (const std::exception& e) {
    return fail(std::string("could not reserve bounded process output: ") + e.what());
  }
  if (!posix::allocate_process_table(table_, kProcessTableCapacity)) {
    return fail("CreateJobObject failed: " + system_message(errno));
  }

  int out_pipe[2], err_pipe[2];
  if (::pipe2(out_pipe, O_CLOEXEC) != 0)
    return fail("could not create bounded process pipes: " + system_message(errno));
  Descriptor out_read(out_pipe[0]), out_write(out_pipe[1]);
  if (::pipe2(err_pipe, O_CLOEXEC) != 0)
    return fail("could not create bounded process pipes: " + system_message(errno));
  Descriptor err_read(err_pipe[0]), err_write(err_pipe[1]);
  Descriptor in_read, in_write;
  if (!options_.initial_input.empty() || !options_.deferred_input.empty()) {
    int in_pipe[2];
    if (::pipe2(in_pipe, O_CLOEXEC) != 0)
      return fail("could not create bounded process pipes: " + system_message(errno));
    in_read.reset(in_pipe[0]);
    in_write.reset(in_pipe[1]);
    ::fcntl(in_write.fd, F_SETFL, O_NONBLOCK);
  } else {
    in_read.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (in_read.fd < 0) return fail("opening NUL for child input failed: " + system_message(errno));
  }
  ::fcntl(out_read.fd, F_SETFL, O_NONBLOCK);
  ::fcntl(err_read.fd, F_SETFL, O_NONBLOCK);
  try {
    pipes_.start(out_read.release(), err_read.release(), in_write.release());
  } catch (const std::exception& e) {
    return fail(std::string("could not start process output reader: ") + e.what());
  }

  std::vector<char*> argv = posix::c_string_pointers(argv_texts_);
  std::vector<char*> envp = posix::c_string_pointers(env_texts_);
  const std::string path = options_.executable.string();
  const std::string directory = options_.working_directory.string();
  posix::ChildSpawnPlan plan;
  plan.path = path.c_str();
  plan.exec_fd = is_native_program(executable_fd_.fd) ? executable_fd_.fd : -1;
  plan.argv = argv.data();
  plan.envp = envp.data();
  plan.working_directory = directory.empty() ? nullptr : directory.c_str();
  plan.new_session = true;
  plan.disable_core_dumps = !options_.error_dialog_flag;
  if (!start_supervisor(plan, in_read, out_write, err_write)) return false;
  return await_start();
}

bool BoundedRun::start_supervisor(posix::ChildSpawnPlan& plan, Descriptor& child_in,
                                  Descriptor& child_out, Descriptor& child_err) {
  int channel[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel) != 0) {
    return fail("CreateIoCompletionPort failed: " + system_message(errno));
  }
  channel_.reset(channel[0]);
  Descriptor supervisor_end(channel[1]);
  plan.stdin_fd = child_in.fd;
  plan.stdout_fd = child_out.fd;
  plan.stderr_fd = child_err.fd;
  const pid_t pid = ::fork();
  if (pid == 0) posix::run_supervisor(plan, supervisor_end.fd);
  if (pid < 0) return fail("CreateJobObject failed: " + system_message(errno));
  supervisor_pid_ = pid;
  ::fcntl(channel_.fd, F_SETFL, O_NONBLOCK);
  return true;
}

bool BoundedRun::await_start() {
  // Exec takes milliseconds; the only reason to wait longer is a stuck file system, which the
  // run's own time-out and the cancellation token still cover.
  const auto deadline = options_.timeout_enabled ? deadline_after(Clock::now(), options_.timeout_ms)
                                                 : Clock::time_point::max();
  while (main_pid_ < 0 && !spawn_failed_) {
    if (options_.cancellation_token && options_.cancellation_token->load()) {
      terminate(StopReason::cancelled);
      return false;
    }
    if (Clock::now() >= deadline) {
      terminate(StopReason::timeout);
      return false;
    }
    if (!read_messages(kPollStepMs)) {
      return fail("job completion wait failed: bounded process supervisor ended unexpectedly");
    }
  }
  return !spawn_failed_;
}

bool BoundedRun::read_messages(int timeout_ms) {
  if (supervisor_lost_) return false;
  pollfd wait{channel_.fd, POLLIN, 0};
  const int ready = ::poll(&wait, 1, timeout_ms);
  if (ready < 0 && errno != EINTR) return false;
  char buffer[256];
  for (;;) {
    const ssize_t got = ::recv(channel_.fd, buffer, sizeof buffer, 0);
    if (got > 0) {
      inbox_.append(buffer, static_cast<std::size_t>(got));
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got == 0 || errno != EAGAIN) supervisor_lost_ = !tree_empty_;
    break;
  }
  std::size_t used = 0;
  while (inbox_.size() - used >= sizeof(posix::SupervisorMessage)) {
    posix::SupervisorMessage message{};
    std::copy_n(inbox_.data() + used, sizeof message, reinterpret_cast<char*>(&message));
    used += sizeof message;
    handle(message);
  }
  inbox_.erase(0, used);
  return !supervisor_lost_ || tree_empty_;
}

void BoundedRun::handle(const posix::SupervisorMessage& message) {
  switch (static_cast<posix::SupervisorEvent>(message.event)) {
    case posix::SupervisorEvent::started: {
      main_pid_ = message.value;
      launches_ = 1;
      std::uint64_t start = 0;
      if (posix::read_process_stat(main_pid_, &start, nullptr, nullptr))
        seen_.insert({main_pid_, start});
      break;
    }
    case posix::SupervisorEvent::spawn_failed:
      spawn_failed_ = true;
      if (result_.error.empty()) {
        const bool supervisor_step =
            message.extra == static_cast<std::int64_t>(posix::SpawnStep::supervisor);
        result_.error = (supervisor_step ? "SetInformationJobObject limits failed: "
                                         : "CreateProcessW failed: ") +
                        system_message(message.value);
      }
      break;
    case posix::SupervisorEvent::main_exited:
      main_exited_ = true;
      main_status_ = message.value;
      main_killed_ = message.extra != 0;
      break;
    case posix::SupervisorEvent::tree_empty:
      tree_empty_ = true;
      break;
  }
}

void BoundedRun::account() {
  if (!posix::scan_processes(table_)) return;
  posix::mark_descendants(table_, supervisor_pid_);
  std::uint64_t active = 0;
  for (std::size_t i = 0; i < table_.count; ++i) {
    const posix::ProcessEntry& entry = table_.entries[i];
    if (!entry.in_tree) continue;
    if (seen_.insert({entry.pid, entry.start_time}).second) ++launches_;
    if (entry.state != 'Z') ++active;
  }
  if (launches_ > options_.launch_budget) {
    stop_ = StopReason::launch_budget;
  } else if (active > options_.active_process_limit) {
    stop_ = StopReason::active_limit;
  }
}

StopReason BoundedRun::check_stop_reasons(Clock::time_point deadline,
                                          Clock::time_point readiness_deadline) {
  if (options_.cancellation_token && options_.cancellation_token->load())
    return StopReason::cancelled;
  if (pipes_.output_exceeded()) return StopReason::output_limit;
  if (const std::string error = pipes_.read_error(); !error.empty()) {
    result_.error = "process output read failed: " + error;
    return StopReason::read_error;
  }
  if (const std::string error = pipes_.write_error(); !error.empty()) {
    result_.error = "failed to write " + pipes_.write_error_phase() + " process input: " + error;
    return StopReason::write_error;
  }
  if (options_.readiness_predicate && !readiness_released_) {
    pipes_.update_snapshot(output_snapshot_);
    try {
      if (options_.readiness_predicate(output_snapshot_)) {
        readiness_released_ = true;
        pipes_.release_deferred_input();
      }
    } catch (const std::exception& e) {
      const std::string what = e.what();
      result_.error = what.empty() ? "process readiness predicate failed"
                                   : "process readiness predicate failed: " + what;
      return StopReason::predicate_failed;
    } catch (...) {
      result_.error = "process readiness predicate failed";
      return StopReason::predicate_failed;
    }
    if (!readiness_released_ && Clock::now() >= readiness_deadline) {
      return StopReason::readiness_timeout;
    }
  }
  if (Clock::now() >= deadline) return StopReason::timeout;
  return StopReason::none;
}

void BoundedRun::supervise() {
  const auto now = Clock::now();
  const auto deadline = options_.timeout_enabled ? deadline_after(now, options_.timeout_ms)
                                                 : Clock::time_point::max();
  const bool readiness_pending = static_cast<bool>(options_.readiness_predicate);
  const auto readiness_deadline = readiness_pending
                                      ? deadline_after(now, options_.readiness_timeout_ms)
                                      : Clock::time_point::max();
  while (!tree_empty_) {
    stop_ = check_stop_reasons(deadline, readiness_deadline);
    if (stop_ != StopReason::none) break;
    const auto next =
        std::min(deadline, readiness_released_ || !readiness_pending ? Clock::time_point::max()
                                                                     : readiness_deadline);
    if (!read_messages(poll_timeout_ms(next))) {
      result_.error = "job completion wait failed: bounded process supervisor ended unexpectedly";
      stop_ = StopReason::wait_failed;
      break;
    }
    if (tree_empty_) break;
    account();
    if (stop_ != StopReason::none) break;
  }
  if (stop_ != StopReason::none) terminate(stop_);
}

void BoundedRun::terminate(StopReason reason) {
  detail::mark_stop_reason(reason, result_);
  stop_ = reason;
  end_tree();
  if (result_.error.empty()) result_.error = detail::stop_message(result_);
}

void BoundedRun::kill_seen_processes() {
  // The supervisor is gone, so its orphans went elsewhere: reach what was last seen directly.
  for (const auto& [pid, start] : seen_)
    posix::kill_process_if_same(pid, start);
}

void BoundedRun::end_tree() {
  if (supervisor_pid_ < 0) return;
  if (!tree_empty_ && !supervisor_lost_) {
    const char command = posix::kKillTreeCommand;
    ::send(channel_.fd, &command, 1, MSG_NOSIGNAL);
    const auto limit = Clock::now() + std::chrono::milliseconds(kTerminationGraceMs);
    while (!tree_empty_ && Clock::now() < limit) {
      if (!read_messages(kPollStepMs)) break;
    }
  }
  if (supervisor_lost_) kill_seen_processes();
  channel_.reset();  // a supervisor that is still working takes this as the order to kill
  int status = 0;
  const auto limit = Clock::now() + std::chrono::milliseconds(kTerminationGraceMs);
  while (::waitpid(supervisor_pid_, &status, WNOHANG) == 0) {
    if (Clock::now() >= limit) {
      ::kill(supervisor_pid_, SIGKILL);
      while (::waitpid(supervisor_pid_, &status, 0) < 0 && errno == EINTR) {
      }
      break;
    }
    ::usleep(1000);
  }
  supervisor_pid_ = -1;
}

void BoundedRun::finish() {
  end_tree();
  pipes_.stop();
  // Whatever the tree did before it ended still counts, even if it ended on its own first.
  if (stop_ == StopReason::none) {
    if (pipes_.output_exceeded()) {
      result_.output_limit_exceeded = true;
    } else if (const std::string error = pipes_.read_error();
               !error.empty() && result_.error.empty()) {
      result_.error = "process output read failed: " + error;
    } else if (const std::string error = pipes_.write_error();
               !error.empty() && result_.error.empty()) {
      result_.error = "failed to write " + pipes_.write_error_phase() + " process input: " + error;
    }
    if (result_.error.empty()) result_.error = detail::stop_message(result_);
  }
  result_.output = pipes_.take_output();
  result_.output_truncated = pipes_.output_exceeded();
  result_.deferred_input_written = pipes_.deferred_input_written();
  result_.tree_termination_confirmed = tree_empty_;
  if (main_exited_) {
    if (WIFEXITED(main_status_)) {
      result_.exit_code = WEXITSTATUS(main_status_);
    } else if (WIFSIGNALED(main_status_)) {
      result_.exit_code = main_killed_ && stop_ != StopReason::none ? detail::stop_code(stop_)
                                                                    : 128 + WTERMSIG(main_status_);
    }
  }
  if (!tree_empty_) {
    if (result_.error.empty()) {
      result_.error = "final job accounting did not confirm process-tree termination";
    }
  } else if (main_pid_ >= 0 && !main_exited_ && result_.error.empty()) {
    result_.error = "primary process remained active after job termination accounting";
  }
}

}  // namespace

namespace detail {

std::vector<std::string> current_environment() {
  std::vector<std::string> entries;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    entries.emplace_back(*entry);
  }
  return entries;
}

}  // namespace detail

BoundedProcessResult run_bounded_process(const BoundedProcessOptions& options) {
  const auto started = Clock::now();
  BoundedProcessResult result;
  const auto done = [&]() {
    result.elapsed_ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
    return result;
  };
  if (options.cancellation_token && options.cancellation_token->load()) {
    result.cancelled = true;
    result.error = "bounded process cancelled before launch";
    return done();
  }
  result.error = detail::validate_bounded_options(options);
  if (!result.error.empty()) return done();
  std::uint32_t depth = 0;
  if (!detail::effective_depth(options, depth, result.error)) return done();
  {
    BoundedRun run(options, result);
    if (run.prepare(depth)) run.supervise();
    run.finish();
  }
  return done();
}

}  // namespace tessik::platform
