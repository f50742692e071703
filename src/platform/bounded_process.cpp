// Portable half of the bounded process runner: option checks, depth parsing, the child's
// environment and the stop-reason table. The OS layer drives the processes.
#include "platform/bounded_process.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "base/text.h"
#include "platform/bounded_process_detail.h"

namespace tessik::platform {
namespace detail {
namespace {

// The variable carries 31 digits at most, like the fixed buffer it was designed around.
constexpr std::size_t kDepthBufferLength = 32;

bool names_regular_file(const std::filesystem::path& path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(path, ec);
}

bool names_directory(const std::filesystem::path& path) {
  std::error_code ec;
  return std::filesystem::is_directory(path, ec);
}

std::string variable_name(const std::string& entry) {
  const auto equals = entry.find('=');
  return equals == std::string::npos ? entry : entry.substr(0, equals);
}

}  // namespace

std::int32_t stop_code(StopReason reason) {
  switch (reason) {
    case StopReason::cancelled:
      return 1223;
    case StopReason::output_limit:
      return 111;
    case StopReason::read_error:
      return 30;
    case StopReason::write_error:
      return 29;
    case StopReason::predicate_failed:
      return 13;
    case StopReason::readiness_timeout:
      return 1460;
    case StopReason::timeout:
      return 1460;
    case StopReason::launch_budget:
      return 1816;
    case StopReason::active_limit:
      return 56;
    case StopReason::wait_failed:
      return 31;
    case StopReason::none:
      break;
  }
  return 0;
}

void mark_stop_reason(StopReason reason, BoundedProcessResult& result) {
  switch (reason) {
    case StopReason::cancelled:
      result.cancelled = true;
      break;
    case StopReason::output_limit:
      result.output_limit_exceeded = true;
      break;
    case StopReason::readiness_timeout:
      result.readiness_timed_out = true;
      break;
    case StopReason::timeout:
      result.timed_out = true;
      break;
    case StopReason::launch_budget:
      result.launch_budget_exceeded = true;
      break;
    case StopReason::active_limit:
      result.active_process_limit_exceeded = true;
      break;
    default:
      break;
  }
}

std::string stop_message(const BoundedProcessResult& result) {
  if (result.cancelled) return "bounded process cancelled";
  if (result.readiness_timed_out) return "process readiness condition timed out";
  if (result.timed_out) return "bounded process timed out";
  if (result.output_limit_exceeded) return "bounded process output limit exceeded";
  if (result.launch_budget_exceeded) return "bounded process launch budget exceeded";
  if (result.active_process_limit_exceeded) return "bounded process active process limit exceeded";
  return {};
}

ChildDepthResult parse_child_depth(const char* value) {
  ChildDepthResult result;
  if (value == nullptr) return result;
  const std::size_t length = std::strlen(value);
  if (length == 0) {
    result.error = "TESSIK_TEST_CHILD_DEPTH must be a non-empty unsigned integer";
    return result;
  }
  if (length >= kDepthBufferLength) {
    result.error = "TESSIK_TEST_CHILD_DEPTH is too long";
    return result;
  }
  std::uint64_t depth = 0;
  for (std::size_t i = 0; i < length; ++i) {
    if (value[i] < '0' || value[i] > '9') {
      result.error = "TESSIK_TEST_CHILD_DEPTH must be an unsigned integer";
      return result;
    }
  }
  for (std::size_t i = 0; i < length; ++i) {
    depth = depth * 10 + static_cast<std::uint64_t>(value[i] - '0');
    if (depth > 4294967295ULL) {
      result.error = "TESSIK_TEST_CHILD_DEPTH exceeds the supported range";
      return result;
    }
  }
  result.depth = static_cast<std::uint32_t>(depth);
  return result;
}

bool effective_depth(const BoundedProcessOptions& options, std::uint32_t& depth,
                     std::string& error) {
  const ChildDepthResult from_environment = read_child_depth();
  if (!from_environment.error.empty()) {
    error = from_environment.error;
    return false;
  }
  depth = std::max(options.recursion_depth, from_environment.depth);
  return true;
}

std::string validate_bounded_options(const BoundedProcessOptions& options) {
  if (options.executable.empty() || !options.executable.is_absolute()) {
    return "bounded process executable must be an absolute path";
  }
  if (options.expected_executable.empty() || !options.expected_executable.is_absolute()) {
    return "bounded process expected executable must be an absolute path";
  }
  std::uint32_t depth = 0;
  std::string depth_error;
  if (!effective_depth(options, depth, depth_error)) return depth_error;
  if (depth >= options.maximum_depth) return "bounded process recursion depth limit reached";
  if (options.launch_budget == 0) return "bounded process launch budget is exhausted";
  if (options.active_process_limit == 0) {
    return "bounded process active process limit must be positive";
  }
  if (options.timeout_enabled && options.timeout_ms < 1) {
    return "bounded process timeout must be positive";
  }
  const bool has_predicate = static_cast<bool>(options.readiness_predicate);
  if (!options.deferred_input.empty() && !has_predicate) {
    return "bounded process deferred input requires a readiness predicate";
  }
  if ((has_predicate || !options.deferred_input.empty()) && options.readiness_timeout_ms < 1) {
    return "bounded process readiness timeout must be positive";
  }
  const std::uint64_t input_limit = std::min(options.input_limit, kMaxBoundedInputBytes);
  const std::uint64_t initial = options.initial_input.size();
  const std::uint64_t deferred = options.deferred_input.size();
  if (initial > input_limit || initial + deferred > input_limit) {
    return "bounded process input limit exceeded";
  }
  if (!names_regular_file(options.executable)) {
    return "bounded process executable must name an existing regular file";
  }
  if (!names_regular_file(options.expected_executable)) {
    return "bounded process expected executable must name an existing regular file";
  }
  if (!options.working_directory.empty()) {
    if (!options.working_directory.is_absolute()) {
      return "bounded process working directory must be an absolute path";
    }
    if (!names_directory(options.working_directory)) {
      return "bounded process working directory must name an existing directory";
    }
  }
  return {};
}

bool build_child_environment(const std::vector<std::string>& current,
                             const std::vector<std::pair<std::string, std::string>>& overrides,
                             std::uint32_t child_depth, std::vector<std::string>& out,
                             std::string& error) {
  const std::string depth_name_lower = ascii_lower(kChildDepthVariable);
  for (const auto& [name, value] : overrides) {
    if (name.empty() || name.find('=') != std::string::npos ||
        name.find('\0') != std::string::npos || value.find('\0') != std::string::npos) {
      error = "invalid environment override: " + name;
      return false;
    }
    // Refused in any spelling, so a caller written for a case-insensitive environment
    // cannot reset the counter either.
    if (ascii_lower(name) == depth_name_lower) {
      error = "environment override of TESSIK_TEST_CHILD_DEPTH is not allowed";
      return false;
    }
  }
  out.clear();
  out.reserve(current.size() + overrides.size() + 1);
  for (const std::string& entry : current) {
    const std::string name = variable_name(entry);
    if (name == kChildDepthVariable) continue;
    const bool overridden = std::any_of(overrides.begin(), overrides.end(),
                                        [&](const auto& pair) { return pair.first == name; });
    if (!overridden) out.push_back(entry);
  }
  for (const auto& override_pair : overrides) {
    // A name given twice keeps its last value, as repeated assignments would.
    const std::string& name = override_pair.first;
    out.erase(std::remove_if(out.begin(), out.end(),
                             [&](const std::string& e) { return variable_name(e) == name; }),
              out.end());
    out.push_back(name + "=" + override_pair.second);
  }
  out.push_back(std::string(kChildDepthVariable) + "=" + std::to_string(child_depth));
  return true;
}

}  // namespace detail

ChildDepthResult read_child_depth() {
  return detail::parse_child_depth(std::getenv(kChildDepthVariable));
}

BoundedProcessOptions make_bounded_options(const std::filesystem::path& executable,
                                           std::vector<std::string> arguments,
                                           std::int64_t timeout_ms) {
  BoundedProcessOptions options;
  options.executable = executable;
  options.expected_executable = executable;
  options.arguments = std::move(arguments);
  options.timeout_ms = timeout_ms;
  options.maximum_depth = 16;
  options.launch_budget = 64;
  options.active_process_limit = 16;
  options.self_launch_allowed = true;
  options.error_dialog_flag = false;
  return options;
}

}  // namespace tessik::platform
