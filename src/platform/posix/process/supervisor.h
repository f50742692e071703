// The per-run supervisor: a forked child that is the child subreaper of one bounded run, so
// every process of the run's tree stays its descendant however it forks, detaches or changes
// session. It starts the run's first process, reaps the tree, reports over a socket, and kills
// the whole tree when told to or when the runner's end of the socket closes.
//
// Why a process of its own rather than making the caller the subreaper: a subreaper adopts
// every orphan below it, so the caller would inherit its own detached launches (which must
// outlive it) and the orphans of concurrent runs, and would have to reap children it does not
// own. A supervisor per run adopts exactly its tree; "no child left" (ECHILD) then means "no
// process of the tree left", which is what confirms termination. cgroups would count launches
// exactly but are rarely writable for an unprivileged user, so they are not relied upon.
#pragma once

#include <cstdint>

namespace tessik::platform::posix {

// Everything the forked children need, prepared before fork: pointers into the parent's
// memory stay valid in the child, and nothing has to be allocated after fork.
struct ChildSpawnPlan {
  const char* path = nullptr;  // the program, for exec by path
  int exec_fd = -1;            // when >= 0, the program is executed through this descriptor
  char* const* argv = nullptr;
  char* const* envp = nullptr;
  const char* working_directory = nullptr;  // nullptr keeps the current one
  int stdin_fd = -1;
  int stdout_fd = -1;
  int stderr_fd = -1;
  bool new_session = true;
  bool disable_core_dumps = false;
};

enum class SupervisorEvent : std::int32_t {
  started = 1,       // value: pid of the first process
  spawn_failed = 2,  // value: errno; extra: which step (SpawnStep)
  main_exited = 3,   // value: wait status; extra: 1 when it ended after the tree was killed
  tree_empty = 4,    // no process of the tree is left; the supervisor exits next
};

enum class SpawnStep : std::int64_t { supervisor = 0, process = 1 };

struct SupervisorMessage {
  std::int32_t event;
  std::int32_t value;
  std::int64_t extra;
};

// The byte the runner sends to have the tree killed.
inline constexpr char kKillTreeCommand = 'K';

// In a child forked from the runner: never returns. `channel_fd` is the supervisor's end of
// the socket pair. Async-signal-safe.
[[noreturn]] void run_supervisor(const ChildSpawnPlan& plan, int channel_fd);

// In a forked child: puts the plan's descriptors on 0, 1 and 2, closes every other descriptor,
// restores default signal handling and executes the program. On failure writes errno to
// `error_fd` and exits with 127. Async-signal-safe.
[[noreturn]] void exec_child(const ChildSpawnPlan& plan, int error_fd);

}  // namespace tessik::platform::posix
