// Pipe directory resolution on POSIX. The default lives in the world-writable /tmp, where
// another user may have created the name first; mkdir with 0700 either makes it ours or fails,
// and a directory that was there already is only used when it is provably ours.
#include "platform/pipe_directory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace tessik::platform {
namespace {

std::runtime_error refusal(const std::filesystem::path& directory, const std::string& why) {
  return std::runtime_error("refusing pipe directory " + directory.string() + ": " + why);
}

}  // namespace

std::uint32_t current_user_id() {
  return static_cast<std::uint32_t>(::geteuid());
}

bool is_private_directory(const std::filesystem::path& directory, std::uint32_t uid,
                          std::string* why) {
  struct stat info {};
  std::string reason;
  if (::lstat(directory.c_str(), &info) != 0) {
    reason = std::string("cannot inspect it (") + std::strerror(errno) + ")";
  } else if (!S_ISDIR(info.st_mode)) {
    reason = "it is not a directory";
  } else if (info.st_uid != uid) {
    reason = "it is owned by uid " + std::to_string(info.st_uid) + ", not " + std::to_string(uid);
  } else if ((info.st_mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    reason = std::string("its mode is ") + mode + ", not 0700";
  } else {
    return true;
  }
  if (why) *why = reason;
  return false;
}

std::filesystem::path pipe_directory() {
  std::filesystem::path directory;
  bool shared_default = false;
  if (const char* explicit_dir = std::getenv("TESSIK_PIPE_DIR"); explicit_dir && *explicit_dir) {
    directory = explicit_dir;
  } else if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
    directory = runtime;
  } else {
    directory = "/tmp/tessik-" + std::to_string(::getuid());
    shared_default = true;
  }
  std::error_code error;
  if (!shared_default && !directory.parent_path().empty()) {
    std::filesystem::create_directories(directory.parent_path(), error);
  }
  if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
    throw std::runtime_error("could not create pipe directory " + directory.string() + ": " +
                             std::strerror(errno));
  }
  std::string why;
  if (shared_default && !is_private_directory(directory, current_user_id(), &why)) {
    throw refusal(directory, why);
  }
  return directory;
}

}  // namespace tessik::platform
