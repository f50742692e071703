// Opening a custom URI (codex://, cursor://) with the desktop's handler for its scheme, the
// way an application is asked to bring a conversation or command into view.
#pragma once

#include <cstdint>
#include <string>

namespace tessik::platform {

struct UriOpenResult {
  bool opened = false;
  int code = 0;       // the opener's failure code when not opened
  std::string error;  // "ShellExecute failed: <code>" when not opened
};

// The code reported when no opener program is installed.
inline constexpr int kUriOpenerMissingCode = 2;

// Hands `uri` to the desktop opener (xdg-open found on PATH) in its own session, without our
// descriptors, and waits up to `timeout_ms` for it to report. An opener that exits non-zero,
// is missing or cannot start fails with its code; one still running at the time-out has
// handed the URI on, counts as opened and is reaped in the background when it ends.
// Reads PATH on every call; never throws.
UriOpenResult open_uri(const std::string& uri, std::int64_t timeout_ms = 10000);

}  // namespace tessik::platform
