// `tessik delivery-worker` and `tessik delivery-supervisor`: their callers read only the last
// result line, so even bad arguments answer with one.
#include "app/delivery_worker_command.h"

#include <cstdio>
#include <map>

#include "a2a/tasks/task_replies.h"
#include "app/external_send_tasks.h"
#include "base/text.h"
#include "pipeline/delivery_supervisor.h"
#include "pipeline/delivery_worker.h"
#include "pipeline/send_pipeline.h"
#include "providers/remote/remote_delivery.h"

namespace tessik {
namespace {

void print_line(const DeliveryResult& result, const std::string& message_id) {
  const std::string line = format_delivery_worker_result(result, message_id) + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

int bad_arguments(const std::string& why, const char* owner = "delivery_worker",
                  const char* usage =
                      "usage: tessik delivery-worker --request FILE "
                      "[--validate-only]\n") {
  DeliveryResult result;
  result.provider = owner;
  result.state = "failed";
  result.method = std::string(owner) + "_arguments_invalid";
  result.error = why;
  print_line(result, {});
  std::fputs(usage, stderr);
  return 2;
}

// A relay session may hand back messages for agents of this node. The remote node vouches
// for their sender (its SSH login is this user's), so they enter the pipeline as relayed
// messages; "local" on that node means that node.
std::string take_upstream_message(const UpstreamMessage& message) {
  SendRequest request;
  request.target = message.target;
  request.body = message.body;
  request.body_is_final_visible = true;
  request.sender_resolved = !trim(message.from).empty();
  request.sender_agent = message.from;
  const std::string from_node = trim(message.from_node);
  request.sender_node = from_node.empty() || from_node == "local" ? message.via_node : from_node;
  request.sender_source = "remote_upstream_message";
  request.source_context = remote_upstream_source_context(message.via_node);
  const SendOutcome outcome = send_message(reply_completing_pipeline_context(), request);
  return outcome.accepted ? "accepted:" + outcome.message_id : "refused";
}

int bad_supervisor_arguments(const std::string& why) {
  return bad_arguments(why, "delivery_supervisor",
                       "usage: tessik delivery-supervisor --request FILE --operation-id ID "
                       "--dispatch-token T --callback-message-id ID\n");
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
  set_upstream_message_handler(take_upstream_message);
  record_external_sends_as_tasks();
  const DeliveryWorkerOutcome outcome = run_delivery_worker_request(request_file, validate_only);
  print_line(outcome.result, outcome.message_id);
  return outcome.exit_code;
}

int run_delivery_supervisor_command(const std::vector<std::string>& args) {
  std::map<std::string, std::string> values{{"--request", ""},
                                            {"--operation-id", ""},
                                            {"--dispatch-token", ""},
                                            {"--callback-message-id", ""}};
  for (std::size_t i = 0; i < args.size(); i += 2) {
    const auto found = values.find(args[i]);
    if (found == values.end() || i + 1 >= args.size() || !found->second.empty()) {
      return bad_supervisor_arguments("unexpected delivery-supervisor argument: " + args[i]);
    }
    found->second = args[i + 1];
  }
  for (const auto& [name, value] : values) {
    if (value.empty()) return bad_supervisor_arguments("delivery-supervisor requires " + name);
  }
  record_external_sends_as_tasks();
  const DeliveryWorkerOutcome outcome =
      run_delivery_supervisor({values["--request"], values["--operation-id"],
                               values["--dispatch-token"], values["--callback-message-id"]});
  print_line(outcome.result, outcome.message_id);
  return outcome.exit_code;
}

}  // namespace tessik
