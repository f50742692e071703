// Test helper: takes the registry lock of a file, says so on stdout, holds it for the given
// milliseconds, and releases it, printing the monotonic time of the release.
// Usage: registry_lock_holder REGISTRY_PATH HOLD_MS
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "base/text.h"
#include "registry/lock_publish.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: registry_lock_holder REGISTRY_PATH HOLD_MS\n", stderr);
    return 2;
  }
  tessik::RegistryFileLock lock;
  std::string error;
  const auto status = tessik::lock_registry_file(
      argv[1], tessik::RegistryDeadline::after(5'000'000'000), lock, error);
  if (status != tessik::RegistryStatus::unchanged) {
    std::fprintf(stderr, "lock failed: %s %s\n", tessik::registry_status_word(status).c_str(),
                 error.c_str());
    return 1;
  }
  std::printf("locked\n");
  std::fflush(stdout);
  std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(argv[2])));
  const long long released_at = tessik::monotonic_now_ns();
  tessik::unlock_registry_file(lock);
  std::printf("released %lld\n", released_at);
  std::fflush(stdout);
  return 0;
}
