// Session id on POSIX: the audit session id survives su and sudo within one logon, so it is
// preferred; without audit the process's session (getsid) stands in for it.
#include "platform/session_id.h"

#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>

namespace tessik::platform {
namespace {

// The kernel reports an unset audit session as (uint32_t)-1.
constexpr std::uint32_t kAuditSessionUnset = 4294967295u;

// A number of up to 32 bits and nothing else.
std::optional<std::uint32_t> parse_session_number(std::string_view text) {
  std::uint32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<std::uint32_t> audit_session_id() {
  std::ifstream file("/proc/self/sessionid");
  std::string text;
  if (!file || !std::getline(file, text)) return std::nullopt;
  const std::optional<std::uint32_t> value = parse_session_number(text);
  if (!value || *value == 0 || *value == kAuditSessionUnset) return std::nullopt;
  return value;
}

}  // namespace

std::optional<std::uint32_t> current_session_id() {
  // A service manager starts its services in a session of its own, so per-user services and
  // the clients that reach them agree on a fixed number through the environment instead. A
  // value that is not a number is an unknown session, not a silent fallback.
  if (const char* fixed = std::getenv("TESSIK_SESSION_ID"); fixed != nullptr && *fixed != '\0')
    return parse_session_number(fixed);
  if (const auto audit = audit_session_id()) return audit;
  const pid_t session = ::getsid(0);
  if (session < 0) return std::nullopt;
  // 0 means the session leader lives outside this pid namespace (a container); every process
  // there shares that one outer session, so 0 names it as well as any number would.
  return static_cast<std::uint32_t>(session);
}

}  // namespace tessik::platform
