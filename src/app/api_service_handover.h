// `tessik api-service`: kept for users and units that start the stand-in through the main
// executable; it hands over to the `tessik-api-service` program beside it.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace tessik {

inline constexpr const char* kApiServiceProgramName = "tessik-api-service";

// The stand-in program beside `executable` (the running `tessik`).
std::filesystem::path api_service_program_beside(const std::filesystem::path& executable);

// Replaces this process with the stand-in program, passing `args` on unchanged. Returns 1
// with a message on stderr only when the program cannot be started.
int run_api_service_handover(const std::vector<std::string>& args);

}  // namespace tessik
