// Small file services the portable code cannot express with the standard library.
#pragma once

#include <filesystem>
#include <string_view>

namespace tessik::platform {

// Appends `bytes` to `path` (created 0644 if missing) with one open-append-close cycle,
// so records from concurrent writers interleave only at record boundaries.
// Returns false when the file cannot be opened or the write fails.
bool append_to_file(const std::filesystem::path& path, std::string_view bytes);

}  // namespace tessik::platform
