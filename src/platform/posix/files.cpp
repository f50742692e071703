// POSIX file append: O_APPEND makes each write land at the end atomically with respect to
// other appenders, so one write per record keeps records whole.
#include "platform/files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace tessik::platform {

bool append_to_file(const std::filesystem::path& path, std::string_view bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = true;
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    written += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0) ok = false;
  return ok;
}

std::FILE* open_file_for_reading(const std::filesystem::path& path) {
  return std::fopen(path.c_str(), "rbe");  // "e": close-on-exec, as every other descriptor here
}

}  // namespace tessik::platform
