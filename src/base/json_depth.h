// The nesting bound of JSON that comes from outside the process, checked by one flat scan of
// the text before any parser, copy or dump can recurse into it.
#pragma once

#include <cstddef>
#include <string_view>

namespace tessik {

// Every document the system reads from outside (requests, envelopes, task lines, mailbox and
// request files) fits well within this many levels of arrays and objects.
inline constexpr std::size_t kMaxJsonNestingDepth = 64;
// Files the system writes itself (task lines, mailbox messages, request files) wrap outside
// JSON in a few levels of their own; their readers allow this much.
inline constexpr std::size_t kMaxStoredJsonNestingDepth = 2 * kMaxJsonNestingDepth;

// True when no array or object in `text` opens deeper than `max_depth` levels. Brackets inside
// JSON strings do not count. The scan neither validates nor allocates and runs in one pass
// without recursion, so it is safe on any input, including text that is not JSON at all.
bool json_nesting_within(std::string_view text, std::size_t max_depth = kMaxJsonNestingDepth);

}  // namespace tessik
