// Durable file writes: exclusive creation, full writes, flushes to disk, and the atomic
// swap of a finished file into place. The building blocks of atomic publication.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>

namespace tessik::platform {

using FileHandle = std::intptr_t;
inline constexpr FileHandle kInvalidFileHandle = -1;

// The error code a creation reports when the file already exists (ERROR_FILE_EXISTS's
// counterpart on this platform).
int file_exists_error_code();

// Creates `path` for writing only if it does not exist yet (a link in its place counts as
// existing and is never followed), with owner/group/other permission bits exactly `mode`
// (e.g. 0600) from the first byte. Returns kInvalidFileHandle and sets `error_code` on failure.
FileHandle create_new_file(const std::filesystem::path& path, unsigned mode, int& error_code);

// Writes all of `bytes`, retrying short writes. False with `error_code` on failure.
bool write_all(FileHandle handle, std::string_view bytes, int& error_code);

// Forces the file's data and metadata to stable storage.
bool flush_file(FileHandle handle, int& error_code);

// Closes the handle. The handle is gone even when false is returned.
bool close_file(FileHandle handle, int& error_code);

// Atomically replaces (or creates) `destination` with `source`; both lie in one directory.
bool replace_file(const std::filesystem::path& source, const std::filesystem::path& destination,
                  int& error_code);

// Makes `destination` a second name of `source`, failing when `destination` exists.
// Used where an existing file must win over a new one (first-use key creation).
bool link_file_exclusive(const std::filesystem::path& source,
                         const std::filesystem::path& destination, int& error_code);

// Forces the directory entry changes of `directory` (a rename inside it) to stable storage.
bool flush_directory(const std::filesystem::path& directory, int& error_code);

// Deletes `path`, ignoring every error.
void remove_file_quietly(const std::filesystem::path& path);

// A fresh name beside `destination` for a file that is written and then swapped into place:
// "<name>.tmp.<process id>-<random id>". The process id lets a later start tell the leftover of
// a writer that died from a temporary that is being written right now.
std::filesystem::path temporary_sibling_path(const std::filesystem::path& destination);

// Deletes every regular file below `root` whose name holds ".tmp." and whose writer is gone:
// its process id (named as above) no longer runs, or the name carries no process id at all.
// Links are not followed. Returns the number of files removed.
std::size_t remove_abandoned_temporaries(const std::filesystem::path& root);

}  // namespace tessik::platform
