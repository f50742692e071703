// Whether the process talks to a person: listings print column headers and progress only on
// a terminal, and stay plain for pipes and scripts.
#pragma once

namespace tessik::platform {

// True when standard output (resp. standard error) is a terminal. Never throws.
bool stdout_is_terminal();
bool stderr_is_terminal();

}  // namespace tessik::platform
