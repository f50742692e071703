// Handing over on POSIX: execv keeps the process id, so signals reach the new program.
#include "platform/program_handover.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tessik::platform {

void hand_over_to_program(const std::string& program, const std::vector<std::string>& args,
                          std::string& error) {
  std::vector<char*> argv;
  argv.reserve(args.size() + 2);
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : args)
    argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  ::execv(program.c_str(), argv.data());
  error = std::strerror(errno);
}

}  // namespace tessik::platform
