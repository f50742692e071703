// Executable path on POSIX, read from the /proc link of the running process.
#include "platform/executable_path.h"

#include <unistd.h>

#include <vector>

namespace tessik::platform {

std::string current_executable_path() {
  std::vector<char> buffer(32'768);
  const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
  // A path that fills the whole buffer may have been cut short, so it counts as a failure.
  if (length <= 0 || static_cast<std::size_t>(length) >= buffer.size()) return {};
  return std::string(buffer.data(), static_cast<std::size_t>(length));
}

}  // namespace tessik::platform
