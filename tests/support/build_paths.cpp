// Build paths relative to the running binary's own folder.
#include "support/build_paths.h"

#include <filesystem>
#include <string>

#include "platform/executable_path.h"

namespace tessik::test {
namespace {

std::filesystem::path build_directory() {
  return std::filesystem::path(platform::current_executable_path()).parent_path().parent_path();
}

}  // namespace

const char* tessik_binary() {
  static const std::string path = (build_directory() / "tessik").string();
  return path.c_str();
}

const char* tessik_api_service_binary() {
  static const std::string path = (build_directory() / "tessik-api-service").string();
  return path.c_str();
}

const char* tessik_helper_dir() {
  static const std::string path = (build_directory() / "tests").string();
  return path.c_str();
}

}  // namespace tessik::test
