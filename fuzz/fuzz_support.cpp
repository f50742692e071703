// The scratch tree lives as long as the fuzzing process; a crash leaves it for inspection.
#include "fuzz_support.h"

#include <cstdlib>

#include "base/random.h"

namespace tessik::fuzz {

const std::filesystem::path& scratch_root() {
  static const std::filesystem::path root = [] {
    const std::filesystem::path made =
        std::filesystem::temp_directory_path() / ("tessik-fuzz-" + random_hex_token());
    std::filesystem::create_directories(made / "pipes");
    std::filesystem::permissions(made / "pipes", std::filesystem::perms::owner_all);
    ::setenv("LOCALAPPDATA", (made / "local").c_str(), 1);
    ::setenv("TESSIK_PIPE_DIR", (made / "pipes").c_str(), 1);
    return made;
  }();
  return root;
}

}  // namespace tessik::fuzz
