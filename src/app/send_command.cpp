// `tessik send`: missing --to or --from are not argument errors, because the pipeline's own
// refusal explains them in the same words as for every other caller.
#include "app/send_command.h"

#include <cstdio>
#include <exception>
#include <iostream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <optional>

#include "a2a/tasks/task_replies.h"
#include "pipeline/send_pipeline.h"

namespace tessik {
namespace {

struct SendArguments {
  SendRequest request;
  bool json = false;
};

std::optional<SendArguments> parse_arguments(const std::vector<std::string>& args,
                                             std::string& error) {
  SendArguments parsed;
  parsed.request.source_context = "cli";
  std::vector<std::string> words;
  bool text_only = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const auto value = [&](std::string& into) {
      if (i + 1 >= args.size()) {
        error = "option " + arg + " needs a value";
        return false;
      }
      into = args[++i];
      return true;
    };
    if (text_only || !arg.starts_with("--")) {
      words.push_back(arg);
    } else if (arg == "--") {
      text_only = true;
    } else if (arg == "--to") {
      if (!value(parsed.request.target)) return std::nullopt;
    } else if (arg == "--from") {
      if (!value(parsed.request.from)) return std::nullopt;
    } else if (arg == "--from-node") {
      if (!value(parsed.request.from_node)) return std::nullopt;
    } else if (arg == "--source-context") {
      if (!value(parsed.request.source_context)) return std::nullopt;
    } else if (arg == "--method") {
      if (!value(parsed.request.requested_delivery_method)) return std::nullopt;
    } else if (arg == "--strict") {
      parsed.request.strict = true;
    } else if (arg == "--json") {
      parsed.json = true;
    } else {
      error = "unknown option " + arg;
      return std::nullopt;
    }
  }
  if (words.empty()) {
    parsed.request.body.assign(std::istreambuf_iterator<char>(std::cin),
                               std::istreambuf_iterator<char>());
  } else {
    for (std::size_t i = 0; i < words.size(); ++i) {
      if (i > 0) parsed.request.body += ' ';
      parsed.request.body += words[i];
    }
  }
  return parsed;
}

void print_outcome(const SendOutcome& outcome, bool json) {
  std::string text;
  if (json) {
    nlohmann::json out = {{"message_id", outcome.message_id},
                          {"status", outcome.status},
                          {"accepted", outcome.accepted},
                          {"target", outcome.target},
                          {"provider", outcome.provider},
                          {"detail", outcome.detail},
                          {"error", outcome.error}};
    text = out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  } else {
    text = "message_id: " + outcome.message_id + "\nstatus: " + outcome.status +
           "\ntarget: " + outcome.target + "\nprovider: " + outcome.provider +
           "\ndetail: " + outcome.detail + "\nerror: " + outcome.error + "\n";
  }
  std::fwrite(text.data(), 1, text.size(), stdout);
}

}  // namespace

int run_send_command(const std::vector<std::string>& args) {
  std::string error;
  const std::optional<SendArguments> parsed = parse_arguments(args, error);
  if (!parsed) {
    std::fprintf(stderr,
                 "tessik send: %s\nusage: tessik send --to TARGET --from SENDER [--from-node NODE]"
                 " [--strict] [--method M] [--source-context C] [--json] [TEXT...]\n",
                 error.c_str());
    return 2;
  }
  try {
    const SendOutcome outcome = send_message(reply_completing_pipeline_context(), parsed->request);
    print_outcome(outcome, parsed->json);
    return outcome.accepted ? 0 : 1;
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "tessik send: %s\n", failure.what());
    return 1;
  }
}

}  // namespace tessik
