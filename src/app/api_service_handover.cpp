// The stand-in lives in its own executable so that no `tessik` process maps its HTTP server
// library; this mode only finds that executable and becomes it.
#include "app/api_service_handover.h"

#include <cstdio>

#include "platform/executable_path.h"
#include "platform/program_handover.h"

namespace tessik {

std::filesystem::path api_service_program_beside(const std::filesystem::path& executable) {
  return executable.parent_path() / kApiServiceProgramName;
}

int run_api_service_handover(const std::vector<std::string>& args) {
  const std::string self = platform::current_executable_path();
  if (self.empty()) {
    std::fprintf(stderr, "tessik api-service: the path of this executable is unknown\n");
    return 1;
  }
  const std::string program = api_service_program_beside(self).string();
  std::string error;
  platform::hand_over_to_program(program, args, error);
  std::fprintf(stderr, "tessik api-service: cannot start %s: %s\n", program.c_str(), error.c_str());
  return 1;
}

}  // namespace tessik
