// The task view clients read: a task document cut down to what the request asked for.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tessik {

// Renders a stored line for the request's protocol version: "id", "contextId", "status",
// then "artifacts" (only with `include_artifacts`; "[]" when the task has none), "history"
// (the last `history_length` messages when given; left out for 0), "metadata" and, for 0.3,
// "kind". A line that is not a task is rendered from its own members.
std::string build_task_view(std::string_view line, std::optional<std::int64_t> history_length,
                            bool include_artifacts, std::string_view version);

// An integer parameter: trimmed, decimal digits only (no sign), no 64-bit overflow, inside
// [min_value, max_value]. Nothing when the text breaks a rule.
std::optional<std::int64_t> parse_integer_parameter(std::string_view text, std::int64_t min_value,
                                                    std::int64_t max_value);

// A boolean parameter: "true" or "false", trimmed, any case.
std::optional<bool> parse_boolean_parameter(std::string_view text);

inline constexpr std::int64_t kMaxHistoryLength = 2147483647;

}  // namespace tessik
