// Pipe directory resolution on POSIX.
#include "platform/pipe_directory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

namespace tessik::platform {

std::filesystem::path pipe_directory() {
  std::filesystem::path directory;
  if (const char* explicit_dir = std::getenv("TESSIK_PIPE_DIR"); explicit_dir && *explicit_dir) {
    directory = explicit_dir;
  } else if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
    directory = runtime;
  } else {
    directory = "/tmp/tessik-" + std::to_string(::getuid());
  }
  std::error_code error;
  if (!std::filesystem::exists(directory, error)) {
    std::filesystem::create_directories(directory, error);
    if (error) {
      throw std::runtime_error("could not create pipe directory " + directory.string() + ": " +
                               error.message());
    }
    ::chmod(directory.c_str(), 0700);
  }
  return directory;
}

}  // namespace tessik::platform
