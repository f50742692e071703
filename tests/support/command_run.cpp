// Running tessik through the shell for command-line tests.
#include "support/command_run.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "support/build_paths.h"
#include "support/temp_env.h"

namespace tessik::test {

std::string shell_quote(const std::string& text) {
  std::string out = "'";
  for (const char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

CommandRun run_tessik(const std::filesystem::path& scratch, const std::string& args,
                      const std::string& input) {
  const auto in = scratch / "cmd.in", out = scratch / "cmd.out", err = scratch / "cmd.err",
             rc = scratch / "cmd.rc";
  std::ofstream(in, std::ios::binary) << input;
  const std::string command = shell_quote(TESSIK_BINARY) + " " + args + " <" +
                              shell_quote(in.string()) + " >" + shell_quote(out.string()) +
                              " 2>" + shell_quote(err.string()) + "; echo $? >" +
                              shell_quote(rc.string());
  if (std::system(command.c_str()) != 0) throw std::runtime_error("the shell failed: " + command);
  return {std::stoi(read_file(rc)), read_file(out), read_file(err)};
}

}  // namespace tessik::test
