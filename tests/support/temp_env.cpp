// Temporary state and pipe directories for tests.
#include "support/temp_env.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "support/build_paths.h"

namespace tessik::test {
namespace {

// Whether process `pid` (a /proc entry) is a child of ours that is neither a zombie nor
// readable yet: between the moment posix_spawn lets its caller go and the moment the new
// program's environment is mapped, /proc/<pid>/environ reads empty.
bool own_child_without_environment(const std::filesystem::path& proc_entry,
                                   const std::string& self) {
  const std::string stat = read_file(proc_entry / "stat");
  const std::size_t name_end = stat.rfind(')');
  if (name_end == std::string::npos) return false;
  std::istringstream fields(stat.substr(name_end + 1));
  std::string state;
  std::string parent;
  fields >> state >> parent;
  return parent == self && state != "Z" && state != "X";
}

// True while some other process of ours was started inside this environment: detached
// delivery workers outlive the request that launched them, and one still running when the
// tree is removed would create its lock and log files again in a directory nobody removes.
bool environment_still_in_use(const std::string& marker) {
  const std::string self = std::to_string(::getpid());
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
    const std::string pid = entry.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos || pid == self) continue;
    const std::string environ = read_file(entry.path() / "environ");
    if (environ.empty()) {
      if (own_child_without_environment(entry.path(), self)) return true;
      continue;
    }
    const std::size_t at = environ.find(marker);
    // Each variable ends with a NUL; the marker must be a whole one.
    if (at != std::string::npos && (at == 0 || environ[at - 1] == '\0') &&
        (at + marker.size() == environ.size() || environ[at + marker.size()] == '\0')) {
      return true;
    }
  }
  return false;
}

// A grandchild in the middle of its exec is nobody's child of ours and reads as having no
// environment; a second look a moment later finds it with its environment mapped.
bool environment_settled(const std::string& marker) {
  if (environment_still_in_use(marker)) return false;
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return !environment_still_in_use(marker);
}

}  // namespace

TempEnv::TempEnv() {
  // Sockets need short paths (sun_path holds 108 bytes), so stay directly under /tmp.
  std::string pattern = "/tmp/tessik-test-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
  }
  root_ = pattern;
  std::filesystem::create_directories(local_app_data());
  std::filesystem::create_directories(pipe_dir());
  std::filesystem::create_directories(temp_dir());
  ::chmod(pipe_dir().c_str(), 0700);
  set("LOCALAPPDATA", local_app_data().string());
  set("TESSIK_PIPE_DIR", pipe_dir().string());
  // Request files and anything else a test or its children put in "the temporary directory"
  // go away with the test; a broker also picks up the hand-over files it finds there at start,
  // so no test may consume another's.
  set("TMPDIR", temp_dir().string());
  // Background deliveries start "the system's own executable", which in a test process would
  // be the test binary itself: every worker would rerun the whole suite.
  set("TESSIK_EXE", TESSIK_BINARY);
}

TempEnv::~TempEnv() {
  for (const auto& [name, value] : saved_) {
    if (value) {
      ::setenv(name.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name.c_str());
    }
  }
  const std::string marker = "LOCALAPPDATA=" + local_app_data().string();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!environment_settled(marker) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

void TempEnv::remember(const std::string& name) {
  if (saved_.count(name)) return;
  const char* current = std::getenv(name.c_str());
  saved_[name] = current ? std::optional<std::string>(current) : std::nullopt;
}

void TempEnv::set(const std::string& name, const std::string& value) {
  remember(name);
  ::setenv(name.c_str(), value.c_str(), 1);
}

void TempEnv::unset(const std::string& name) {
  remember(name);
  ::unsetenv(name.c_str());
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void write_file(const std::filesystem::path& path, const std::string& content) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

}  // namespace tessik::test
