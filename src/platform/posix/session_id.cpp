// Session id on POSIX: the audit session id survives su and sudo within one logon, so it is
// preferred; without audit the process's session (getsid) stands in for it.
#include "platform/session_id.h"

#include <unistd.h>

#include <charconv>
#include <fstream>
#include <string>

namespace tessik::platform {
namespace {

// The kernel reports an unset audit session as (uint32_t)-1.
constexpr std::uint32_t kAuditSessionUnset = 4294967295u;

std::optional<std::uint32_t> audit_session_id() {
  std::ifstream file("/proc/self/sessionid");
  std::string text;
  if (!file || !std::getline(file, text)) return std::nullopt;
  std::uint32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (value == 0 || value == kAuditSessionUnset) return std::nullopt;
  return value;
}

}  // namespace

std::optional<std::uint32_t> current_session_id() {
  if (const auto audit = audit_session_id()) return audit;
  const pid_t session = ::getsid(0);
  if (session < 0) return std::nullopt;
  // 0 means the session leader lives outside this pid namespace (a container); every process
  // there shares that one outer session, so 0 names it as well as any number would.
  return static_cast<std::uint32_t>(session);
}

}  // namespace tessik::platform
