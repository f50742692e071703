// Test isolation: a fresh temporary state directory and pipe directory for one test,
// with the environment pointed at them and restored afterwards.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace tessik::test {

// Creates <tmp>/tessik-test-XXXXXX with "local" (LOCALAPPDATA, so the state directory is
// local/Tessik), "pipes" (TESSIK_PIPE_DIR, 0700) and "tmp" (TMPDIR). The destructor restores every
// variable this object changed and removes the whole tree. Not thread-safe: the environment is
// global, so use one TempEnv at a time per process. Child processes started while it lives inherit
// it.
class TempEnv {
 public:
  TempEnv();
  ~TempEnv();
  TempEnv(const TempEnv&) = delete;
  TempEnv& operator=(const TempEnv&) = delete;

  const std::filesystem::path& root() const { return root_; }
  // The value of LOCALAPPDATA.
  std::filesystem::path local_app_data() const { return root_ / "local"; }
  // The resolved state directory (LOCALAPPDATA/Tessik); not created until something writes.
  std::filesystem::path state_dir() const { return local_app_data() / "Tessik"; }
  // The value of TESSIK_PIPE_DIR.
  std::filesystem::path pipe_dir() const { return root_ / "pipes"; }
  // The value of TMPDIR.
  std::filesystem::path temp_dir() const { return root_ / "tmp"; }
  // <state dir>/logs/events.jsonl.
  std::filesystem::path events_log() const { return state_dir() / "logs" / "events.jsonl"; }

  // Sets or unsets any other variable for the lifetime of this object.
  void set(const std::string& name, const std::string& value);
  void unset(const std::string& name);

 private:
  void remember(const std::string& name);

  std::filesystem::path root_;
  // Original values (nullopt: was unset) of every variable touched.
  std::map<std::string, std::optional<std::string>> saved_;
};

// The whole file as bytes; empty when it cannot be read.
std::string read_file(const std::filesystem::path& path);
// Replaces the file with `content`, creating its parent directories.
void write_file(const std::filesystem::path& path, const std::string& content);

}  // namespace tessik::test
