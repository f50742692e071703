// Runs the tessik executable as a user would, through /bin/sh, and collects its exit code,
// standard output and standard error. Standard input is empty unless given.
#pragma once

#include <filesystem>
#include <string>

namespace tessik::test {

struct CommandRun {
  int code = -1;
  std::string out;
  std::string err;
};

// `tessik <args>`; `args` is shell text (quote what needs it). Temporary files go to
// `scratch`, which must exist. `input` becomes standard input.
CommandRun run_tessik(const std::filesystem::path& scratch, const std::string& args,
                      const std::string& input = "");

// `text` single-quoted for the shell.
std::string shell_quote(const std::string& text);

}  // namespace tessik::test
