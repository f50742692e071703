// Hosts one bounded run, so tests can kill the process that supervises a tree:
//   tessik_test_run_host PROGRAM TIMEOUT_MS ARGS...
// runs PROGRAM with ARGS through the bounded runner and prints the result's error and exit
// code on one line.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/bounded_process.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: tessik_test_run_host PROGRAM TIMEOUT_MS ARGS...\n");
    return 2;
  }
  const std::vector<std::string> arguments(argv + 3, argv + argc);
  const auto result = tessik::platform::run_bounded_process(
      tessik::platform::make_bounded_options(argv[1], arguments, std::atoll(argv[2])));
  std::printf("error=%s exit_code=%d\n", result.error.c_str(), result.exit_code);
  return result.error.empty() ? 0 : 1;
}
