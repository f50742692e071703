// POSIX terminal checks: isatty on the standard descriptors.
#include "platform/terminal.h"

#include <unistd.h>

namespace tessik::platform {

bool stdout_is_terminal() { return ::isatty(STDOUT_FILENO) == 1; }

bool stderr_is_terminal() { return ::isatty(STDERR_FILENO) == 1; }

}  // namespace tessik::platform
