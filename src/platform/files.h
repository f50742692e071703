// Small file services the portable code cannot express with the standard library.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string_view>

namespace tessik::platform {

// Appends `bytes` to `path` (created 0644 if missing) with one open-append-close cycle,
// so records from concurrent writers interleave only at record boundaries.
// Returns false when the file cannot be opened or the write fails.
bool append_to_file(const std::filesystem::path& path, std::string_view bytes);

// Opens `path` for reading bytes as a C stream (closed with std::fclose); nullptr when it
// cannot be opened. Paths are passed in the system's own encoding, wide where it is wide.
std::FILE* open_file_for_reading(const std::filesystem::path& path);

}  // namespace tessik::platform
