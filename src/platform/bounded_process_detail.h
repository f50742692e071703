// Pieces of the bounded process runner shared by the portable code and the OS layer:
// validation, the child's environment, stop reasons with their codes and messages.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/bounded_process.h"

namespace tessik::platform::detail {

// Why a run was stopped before its tree ended by itself. The codes are the exit codes the
// stopped processes are given, the same on every platform.
enum class StopReason {
  none,
  cancelled,
  output_limit,
  read_error,
  write_error,
  predicate_failed,
  readiness_timeout,
  timeout,
  launch_budget,
  active_limit,
  wait_failed
};

std::int32_t stop_code(StopReason reason);

// Sets the flag that belongs to `reason` on `result`.
void mark_stop_reason(StopReason reason, BoundedProcessResult& result);

// The error text for a stopped run, chosen from the flags by priority; empty when none applies.
std::string stop_message(const BoundedProcessResult& result);

// The depth this launch runs at: the larger of the options' and the environment's.
// Returns false with `error` set when the environment's value is malformed.
bool effective_depth(const BoundedProcessOptions& options, std::uint32_t& depth,
                     std::string& error);

// Checks the options in the documented order; returns the first failure or an empty text.
std::string validate_bounded_options(const BoundedProcessOptions& options);

// The child's environment ("NAME=VALUE" entries): `current` with the overrides applied and
// the depth variable set to `child_depth`. Returns false with `error` set when an override
// is malformed or tries to set the depth variable itself.
bool build_child_environment(const std::vector<std::string>& current,
                             const std::vector<std::pair<std::string, std::string>>& overrides,
                             std::uint32_t child_depth, std::vector<std::string>& out,
                             std::string& error);

// The calling process's environment as "NAME=VALUE" entries (provided by the OS layer).
std::vector<std::string> current_environment();

// Parses a depth value as read from the environment (nullptr when the variable is absent).
ChildDepthResult parse_child_depth(const char* value);

}  // namespace tessik::platform::detail
