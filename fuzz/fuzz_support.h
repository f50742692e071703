// What every fuzz target shares: a private scratch tree for the state and pipe directories,
// so that targets which read or write files never touch a real user's state.
#pragma once

#include <filesystem>

namespace tessik::fuzz {

// Creates the scratch tree once per process and points LOCALAPPDATA and TESSIK_PIPE_DIR into
// it. Later calls return the same root.
const std::filesystem::path& scratch_root();

}  // namespace tessik::fuzz
