// platform/posix/process/: child processes on POSIX: launching, the supervised bounded run,
// its pipes and the process tree it keeps together.
// Small helpers shared by the POSIX launchers: system messages and exec argument arrays.
#pragma once

#include <string>
#include <system_error>
#include <vector>

namespace tessik::platform::posix {

// The system's text for an errno value.
inline std::string system_message(int error) {
  return std::generic_category().message(error);
}

// Null-terminated pointer array over `texts` for exec; valid while `texts` is unchanged.
inline std::vector<char*> c_string_pointers(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  pointers.reserve(texts.size() + 1);
  for (std::string& text : texts)
    pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

// True when no text holds a NUL byte, which exec would silently cut at.
inline bool free_of_nul(const std::vector<std::string>& texts) {
  for (const std::string& text : texts) {
    if (text.find('\0') != std::string::npos) return false;
  }
  return true;
}

}  // namespace tessik::platform::posix
