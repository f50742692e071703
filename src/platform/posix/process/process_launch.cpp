// Launches that are not supervised runs: the shell command and PATH lookup of an executable.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>

#include "platform/bounded_process.h"

namespace tessik::platform {
namespace {

constexpr const char* kShell = "/bin/sh";
constexpr std::int64_t kShellTimeoutMs = 600000;

bool is_executable_file(const std::filesystem::path& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

BoundedProcessResult run_shell_command(const std::string& command) {
  return run_bounded_process(make_bounded_options(kShell, {"-c", command}, kShellTimeoutMs));
}

ExecutableResolution resolve_executable_on_path(const std::string& name) {
  ExecutableResolution resolution;
  if (name.empty()) {
    resolution.error = "process executable is empty";
    return resolution;
  }
  std::error_code ec;
  if (name.find('/') != std::string::npos) {
    if (is_executable_file(name)) {
      resolution.path = std::filesystem::absolute(name, ec);
      if (ec) resolution.error = "could not resolve process executable: " + ec.message();
    } else {
      resolution.error = "process executable was not found on PATH: " + name;
    }
    return resolution;
  }
  const char* search = std::getenv("PATH");
  const std::string path_list = search != nullptr ? search : "/usr/local/bin:/usr/bin:/bin";
  std::size_t begin = 0;
  for (;;) {
    const std::size_t end = path_list.find(':', begin);
    const std::string directory =
        path_list.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
    // An empty entry names the current directory, as the shell reads it.
    const std::filesystem::path candidate =
        std::filesystem::path(directory.empty() ? "." : directory) / name;
    if (is_executable_file(candidate)) {
      resolution.path = std::filesystem::absolute(candidate, ec);
      if (ec) resolution.error = "could not resolve process executable: " + ec.message();
      return resolution;
    }
    if (end == std::string::npos) break;
    begin = end + 1;
  }
  resolution.error = "process executable was not found on PATH: " + name;
  return resolution;
}

}  // namespace tessik::platform
