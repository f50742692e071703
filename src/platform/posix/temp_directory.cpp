// The user's temporary directory on POSIX.
#include "platform/temp_directory.h"

#include <cstdlib>

namespace tessik::platform {

std::filesystem::path user_temp_directory() {
  const char* value = std::getenv("TMPDIR");
  if (value != nullptr && *value != '\0') return std::filesystem::path(value);
  return std::filesystem::path("/tmp");
}

}  // namespace tessik::platform
