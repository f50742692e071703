// `tessik delivery-worker`: its caller reads only the last result line, so even bad arguments
// answer with one.
#include "app/delivery_worker_command.h"

#include <cstdio>

#include "pipeline/delivery_worker.h"

namespace tessik {
namespace {

void print_line(const DeliveryResult& result, const std::string& message_id) {
  const std::string line = format_delivery_worker_result(result, message_id) + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

int bad_arguments(const std::string& why) {
  DeliveryResult result;
  result.provider = "delivery_worker";
  result.state = "failed";
  result.method = "delivery_worker_arguments_invalid";
  result.error = why;
  print_line(result, {});
  std::fputs("usage: tessik delivery-worker --request FILE [--validate-only]\n", stderr);
  return 2;
}

}  // namespace

int run_delivery_worker_command(const std::vector<std::string>& args) {
  std::string request_file;
  bool validate_only = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--request" && i + 1 < args.size() && request_file.empty()) {
      request_file = args[++i];
    } else if (args[i] == "--validate-only") {
      validate_only = true;
    } else {
      return bad_arguments("unexpected delivery-worker argument: " + args[i]);
    }
  }
  if (request_file.empty()) return bad_arguments("delivery-worker requires --request FILE");
  const DeliveryWorkerOutcome outcome = run_delivery_worker_request(request_file, validate_only);
  print_line(outcome.result, outcome.message_id);
  return outcome.exit_code;
}

}  // namespace tessik
