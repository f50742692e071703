// Bounded child processes: one supervised process tree per run, with a hard time-out, caps on
// output, input, launches and concurrently running processes, and a recursion-depth counter
// carried in the environment. Also the fire-and-forget detached launcher and PATH lookup.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessik::platform {

// The environment variable holding the recursion depth of the current process.
inline constexpr const char* kChildDepthVariable = "TESSIK_TEST_CHILD_DEPTH";
// Hard ceilings: whatever the options say, no more output is kept and no more input written.
inline constexpr std::uint64_t kMaxBoundedOutputBytes = 1048576;
inline constexpr std::uint64_t kMaxBoundedInputBytes = 1048576;

// Called with the output captured so far; true once releases the deferred input. It runs on
// the caller's thread, on every pass of the supervision loop (at most 25 ms apart), and may
// throw to stop the run.
using ReadinessPredicate = std::function<bool(std::string_view output)>;
// Shared stop flag; setting it requests an early stop of the run.
using CancellationToken = std::shared_ptr<std::atomic<bool>>;

struct BoundedProcessOptions {
  std::filesystem::path executable;           // absolute path of the program
  std::filesystem::path expected_executable;  // the file `executable` must be
  std::vector<std::string> arguments;         // after the program name
  std::vector<std::pair<std::string, std::string>> environment_overrides;
  std::filesystem::path working_directory;  // absolute existing directory, or empty
  std::string initial_input;                // written right after start
  std::string deferred_input;               // written once the predicate first holds
  ReadinessPredicate readiness_predicate;
  std::int64_t readiness_timeout_ms = 30000;
  std::int64_t timeout_ms = 30000;
  bool timeout_enabled = true;
  std::uint64_t output_limit = kMaxBoundedOutputBytes;
  std::uint64_t input_limit = kMaxBoundedInputBytes;
  std::uint32_t recursion_depth = 0;  // raised to the environment's depth
  std::uint32_t maximum_depth = 1;    // a launch at or beyond it is refused
  std::uint32_t launch_budget = 1;    // processes the tree may start, the first included
  std::uint32_t active_process_limit = 1;
  bool self_launch_allowed = false;
  // When false, a crashing process of the tree dies at once without a core dump.
  bool error_dialog_flag = true;
  CancellationToken cancellation_token;
};

struct BoundedProcessResult {
  std::int32_t exit_code = -1;  // -1 when the process never ran or no code was available
  std::string output;           // stdout and stderr interleaved by chunk, at most the limit
  std::string error;            // empty on a clean run
  std::int64_t elapsed_ms = 0;  // whole run, set-up included
  bool output_truncated = false;
  bool output_limit_exceeded = false;
  bool timed_out = false;
  bool readiness_timed_out = false;
  bool launch_budget_exceeded = false;
  bool active_process_limit_exceeded = false;
  bool cancelled = false;
  bool deferred_input_written = false;
  bool tree_termination_confirmed = false;  // no process of the tree was left at the end
};

struct ChildDepthResult {
  std::uint32_t depth = 0;
  std::string error;  // empty when `depth` is valid
};

struct ExecutableResolution {
  std::filesystem::path path;  // absolute when found
  std::string error;           // empty when found
};

struct DetachedProcessResult {
  std::string state;  // "started" on success, empty otherwise
  std::int32_t exit_code = -1;
  std::string error;
  std::int64_t process_id = 0;  // of the started process, for diagnostics
};

// Runs one process tree to its end and reports how it went. Every process the tree starts
// stays in it, whatever it does with its session or process group, and dies with the run,
// also when the calling process dies. Launches and running processes are counted from the
// process table between waits (at most 25 ms apart): a process that starts and ends within
// one such interval may go uncounted, and the active limit is enforced after the fact (the
// tree is ended as soon as it is seen over it).
// Blocks the caller until no
// process of the tree is left (or the tree could not be confirmed gone, see the result);
// never throws for process failures. Safe to call from several threads at once; the
// predicate and the token are the only shared objects and belong to the caller.
BoundedProcessResult run_bounded_process(const BoundedProcessOptions& options);

// The convenience builder: maximum depth 16, launch budget 64, 16 active processes,
// self-launch allowed, error dialogs off, expected executable = executable.
BoundedProcessOptions make_bounded_options(const std::filesystem::path& executable,
                                           std::vector<std::string> arguments,
                                           std::int64_t timeout_ms);

// Runs `command` through "/bin/sh -c" with a 600,000 ms time-out and the builder's values.
BoundedProcessResult run_shell_command(const std::string& command);

// Finds `name` on PATH: the first executable regular file (no extension is added).
// A name containing a slash is checked as given.
ExecutableResolution resolve_executable_on_path(const std::string& name);

// The recursion depth of this process from TESSIK_TEST_CHILD_DEPTH (absent means 0).
ChildDepthResult read_child_depth();

// Starts a process that outlives the caller: own session and process group, no inherited
// descriptors (its standard streams are the null device), default signal handling,
// environment with the overrides and the depth + 1, not part of any bounded run started by
// this process. Does not wait for it. The process is a direct child of the caller until the
// caller exits (then the system adopts it); its pid is remembered so that
// reap_detached_processes collects it once it has ended. Each launch reaps first.
// Thread-safe.
DetachedProcessResult launch_detached_process(
    const std::filesystem::path& executable, const std::vector<std::string>& arguments,
    const std::vector<std::pair<std::string, std::string>>& environment_overrides);

// Collects, without waiting, every process started by launch_detached_process that has ended,
// by its pid: no other child of the caller (a bounded run's supervisor, say) is ever waited
// for. Returns how many detached launches are still running. A long-lived launcher calls it
// from its idle loop so that its last launches do not stay zombies. Thread-safe.
std::size_t reap_detached_processes();

}  // namespace tessik::platform
