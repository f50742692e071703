// The logon session of the current process; the broker socket is named after it.
#pragma once

#include <cstdint>
#include <optional>

namespace tessik::platform {

// The session id of this process, or nullopt when it cannot be read. A non-empty
// TESSIK_SESSION_ID fixes it (per-user services and their clients set it alike); a value that
// is not a 32-bit number gives nullopt.
// POSIX: the audit session id when one is set, else the session of getsid(0), which is 0
// inside a pid namespace whose session leader lives outside it.
std::optional<std::uint32_t> current_session_id();

}  // namespace tessik::platform
