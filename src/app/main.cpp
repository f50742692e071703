// Process entry of the tessik executable.
#include <string>
#include <vector>

#include "app/commands.h"

int main(int argc, char** argv) {
  return tessik::run_command(std::vector<std::string>(argv + 1, argv + argc));
}
