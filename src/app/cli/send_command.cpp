// `tessik send`: a message from the command line through the same pipeline as every other
// caller. A command line without a target, a sender or a text is refused before anything is
// sent or logged; `--to` also takes the public id the listings show.
#include "app/cli/send_command.h"

#include <cstdio>
#include <exception>
#include <iostream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>

#include "a2a/tasks/task_replies.h"
#include "app/cli/cli_output.h"
#include "app/cli/send_wait.h"
#include "base/text.h"
#include "pipeline/send_pipeline.h"
#include "platform/terminal.h"
#include "registry/registry.h"
#include "state/state_dir.h"

namespace tessik {
namespace {

constexpr const char* kUsage =
    "usage: tessik send --to TARGET --from SENDER [--from-node NODE] [--strict] [--method M]\n"
    "                   [--source-context C] [--wait [--wait-seconds N]] [--json] [TEXT...]\n"
    "  TARGET is a public agent id, a registry name or an alias (see `tessik agents`);\n"
    "  without TEXT the message is read from standard input.\n"
    "  --wait waits for the background delivery and exits 1 when it failed.\n";

struct SendArguments {
  SendRequest request;
  bool json = false;
  bool wait = false;
  int wait_seconds = 120;
};

int parse_seconds(const std::string& text) {
  try {
    std::size_t used = 0;
    const int value = std::stoi(text, &used);
    if (used == text.size() && value > 0 && value <= 86400) return value;
  } catch (const std::exception&) {
  }
  throw CliUsageError("--wait-seconds must be a whole number of seconds from 1 through 86400");
}

SendArguments parse_arguments(const std::vector<std::string>& args) {
  SendArguments parsed;
  parsed.request.source_context = "cli";
  std::vector<std::string> words;
  bool text_only = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const auto value = [&]() -> std::string {
      if (i + 1 >= args.size()) throw CliUsageError("option " + arg + " needs a value");
      return args[++i];
    };
    if (text_only || !arg.starts_with("--")) {
      words.push_back(arg);
    } else if (arg == "--") {
      text_only = true;
    } else if (arg == "--to") {
      parsed.request.target = value();
    } else if (arg == "--from") {
      parsed.request.from = value();
    } else if (arg == "--from-node") {
      parsed.request.from_node = value();
    } else if (arg == "--source-context") {
      parsed.request.source_context = value();
    } else if (arg == "--method") {
      parsed.request.requested_delivery_method = value();
    } else if (arg == "--wait-seconds") {
      parsed.wait_seconds = parse_seconds(value());
    } else if (arg == "--strict") {
      parsed.request.strict = true;
    } else if (arg == "--wait") {
      parsed.wait = true;
    } else if (arg == "--json") {
      parsed.json = true;
    } else {
      throw CliUsageError("unknown option " + arg);
    }
  }
  if (trim(parsed.request.target).empty()) throw CliUsageError("--to TARGET is required");
  if (trim(parsed.request.from).empty()) throw CliUsageError("--from SENDER is required");
  if (words.empty()) {
    parsed.request.body.assign(std::istreambuf_iterator<char>(std::cin),
                               std::istreambuf_iterator<char>());
  } else {
    for (std::size_t i = 0; i < words.size(); ++i) {
      if (i > 0) parsed.request.body += ' ';
      parsed.request.body += words[i];
    }
  }
  if (trim(parsed.request.body).empty()) throw CliUsageError("the message text is empty");
  return parsed;
}

// A public agent id names its row by agent id, which target resolution matches exactly.
void resolve_public_id(SendRequest& request) {
  const std::string wanted = ascii_lower(trim(request.target));
  for (const AgentRecord& row : load_registry(default_registry())) {
    if (row.enabled && ascii_lower(trim(row.public_agent_id)) == wanted) {
      request.target = row.agent_id;
      return;
    }
  }
}

void print_outcome(const SendOutcome& outcome, const std::optional<DeliveryWaitResult>& waited,
                   bool json) {
  if (json) {
    nlohmann::json out = {{"message_id", outcome.message_id},
                          {"status", outcome.status},
                          {"accepted", outcome.accepted},
                          {"target", outcome.target},
                          {"provider", outcome.provider},
                          {"detail", outcome.detail},
                          {"error", outcome.error}};
    if (waited) {
      out["delivery"] = {{"finished", waited->finished},
                         {"delivered", waited->delivered},
                         {"stage", waited->stage},
                         {"detail", waited->detail}};
    }
    write_stdout(out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
    return;
  }
  std::string text = "message_id: " + outcome.message_id + "\nstatus: " + outcome.status +
                     "\ntarget: " + outcome.target + "\nprovider: " + outcome.provider +
                     "\ndetail: " + outcome.detail + "\nerror: " + outcome.error + "\n";
  if (waited) {
    text += "delivery: " +
            std::string(!waited->finished   ? "no outcome yet"
                        : waited->delivered ? "delivered"
                                            : "failed") +
            (waited->stage.empty() ? "" : " (" + waited->stage + ": " + waited->detail + ")") +
            "\n";
  }
  write_stdout(text);
}

int send(SendArguments& parsed) {
  resolve_public_id(parsed.request);
  const SendOutcome outcome = send_message(reply_completing_pipeline_context(), parsed.request);
  std::optional<DeliveryWaitResult> waited;
  // Only a hand-off to the background worker leaves the outcome open.
  if (parsed.wait && outcome.accepted && outcome.status == kStatusAcceptedByTessik) {
    if (platform::stderr_is_terminal()) std::fputs("waiting for the delivery...\n", stderr);
    waited = wait_for_delivery_outcome(delivery_log_path(), outcome.message_id,
                                       std::int64_t{parsed.wait_seconds} * 1'000'000'000);
  }
  print_outcome(outcome, waited, parsed.json);
  if (!outcome.accepted) {
    print_mode_error("send", outcome.error.empty() ? "the message was refused" : outcome.error);
    return 1;
  }
  if (waited && !waited->delivered) {
    print_mode_error("send", waited->finished ? "the delivery failed: " + waited->detail
                                              : "no delivery outcome within " +
                                                    std::to_string(parsed.wait_seconds) + " s");
    return 1;
  }
  return 0;
}

}  // namespace

int run_send_command(const std::vector<std::string>& args) {
  return run_cli_mode("send", kUsage, args, [&] {
    SendArguments parsed = parse_arguments(args);
    return send(parsed);
  });
}

}  // namespace tessik
