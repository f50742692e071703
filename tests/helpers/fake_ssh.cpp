// A stand-in for the `ssh` client, put first on PATH as "ssh". It writes its arguments (one
// per line) to FAKE_SSH_DIR/args and its standard input to FAKE_SSH_DIR/stdin, prints the
// bytes of FAKE_SSH_DIR/output and exits with the number in FAKE_SSH_DIR/exit (0 if absent);
// when FAKE_SSH_DIR/hang exists it never exits, like a remote that stopped answering.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

int main(int argc, char** argv) {
  const char* dir_value = std::getenv("FAKE_SSH_DIR");
  if (dir_value == nullptr) return 255;
  const std::string dir = dir_value;
  std::ofstream args(dir + "/args", std::ios::binary);
  for (int i = 1; i < argc; ++i) args << argv[i] << "\n";
  args.close();
  const std::string input((std::istreambuf_iterator<char>(std::cin)),
                          std::istreambuf_iterator<char>());
  std::ofstream(dir + "/stdin", std::ios::binary) << input;
  std::ifstream output(dir + "/output", std::ios::binary);
  if (output) std::cout << output.rdbuf();
  std::cout.flush();
  if (std::filesystem::exists(dir + "/hang")) {
    for (;;) pause();
  }
  std::ifstream exit_file(dir + "/exit");
  int code = 0;
  if (exit_file) exit_file >> code;
  return code;
}
