// The logon session of the current process; the broker socket is named after it.
#pragma once

#include <cstdint>
#include <optional>

namespace tessik::platform {

// The session id of this process, or nullopt when it cannot be read.
// POSIX: the audit session id when one is set, else the session of getsid(0), which is 0
// inside a pid namespace whose session leader lives outside it.
std::optional<std::uint32_t> current_session_id();

}  // namespace tessik::platform
