// Process entry of the tessik-api-service executable: the HTTP stand-in for the API service.
#include <string>
#include <vector>

#include "standin/api_service_command.h"

int main(int argc, char** argv) {
  return tessik::run_api_service_command(std::vector<std::string>(argv + 1, argv + argc));
}
