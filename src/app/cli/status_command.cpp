// `tessik status`. The broker is asked over its socket like any client; the stand-in over
// HTTP for its public card; the counts come from the state files, so they are shown even
// when nothing runs.
#include "app/cli/status_command.h"

#include <charconv>
#include <cstdlib>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "a2a/push/push_delivery.h"
#include "a2a/tasks/log_scan/task_line_scan.h"
#include "a2a/tasks/task_log.h"
#include "a2a/tasks/task_queries.h"
#include "app/broker_client.h"
#include "app/cli/cli_output.h"
#include "base/text.h"
#include "platform/pipe_directory.h"
#include "platform/tcp_client.h"
#include "providers/mailbox/mailbox_store.h"
#include "registry/registry.h"
#include "state/state_dir.h"

namespace tessik {
namespace {

constexpr const char* kUsage =
    "usage: tessik status [--json] [--endpoint HOST:PORT] [--session ID]\n"
    "  --json      one JSON object instead of text\n"
    "  --endpoint  where the API-service stand-in listens (default $TESSIK_LISTEN, else "
    "127.0.0.1:37661)\n"
    "  --session   session whose broker is asked (default: this session)\n"
    "exit code: 0 when the broker answers, 3 when it does not\n";

constexpr const char* kCardPath = "/a2a/.well-known/agent-card.json";

struct StatusOptions {
  bool json = false;
  std::string endpoint;
  std::optional<std::uint32_t> session;
};

struct Probe {
  bool up = false;
  std::string detail;  // why not, when not
};

std::optional<StatusOptions> parse_options(const std::vector<std::string>& args,
                                           std::string& error) {
  StatusOptions options;
  const char* listen = std::getenv("TESSIK_LISTEN");
  options.endpoint = listen != nullptr && *listen != '\0' ? listen : "127.0.0.1:37661";
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--json") {
      options.json = true;
      continue;
    }
    if ((arg != "--endpoint" && arg != "--session") || i + 1 >= args.size()) {
      error = arg == "--endpoint" || arg == "--session" ? arg + " needs a value"
                                                        : "unknown argument: " + arg;
      return std::nullopt;
    }
    const std::string& value = args[++i];
    if (arg == "--endpoint") {
      options.endpoint = value;
      continue;
    }
    std::uint32_t session = 0;
    const auto [end, parse_error] =
        std::from_chars(value.data(), value.data() + value.size(), session);
    if (parse_error != std::errc() || end != value.data() + value.size() || session == 0) {
      error = "invalid session id: " + value;
      return std::nullopt;
    }
    options.session = session;
  }
  return options;
}

Probe probe_stand_in(const std::string& endpoint) {
  const std::size_t colon = endpoint.rfind(':');
  int port = 0;
  if (colon == std::string::npos ||
      std::from_chars(endpoint.data() + colon + 1, endpoint.data() + endpoint.size(), port).ec !=
          std::errc() ||
      port <= 0 || port > 65535) {
    return {false, "invalid endpoint " + endpoint};
  }
  // A bare GET over loopback: loading an HTTP client library would cost this command more
  // than everything else it does.
  const std::string host = endpoint.substr(0, colon);
  const platform::TcpExchangeResult exchange = platform::tcp_exchange(
      host, static_cast<std::uint16_t>(port),
      std::string("GET ") + kCardPath + " HTTP/1.1\r\nHost: " + endpoint +
          "\r\nConnection: close\r\n\r\n",
      "\r\n", 4096, 500'000'000, 2'500'000'000);
  if (!exchange.connected) return {false, "nothing accepts connections at " + endpoint};
  const std::string& answer = exchange.received;
  const std::size_t line_end = answer.find("\r\n");
  if (line_end == std::string::npos || !answer.starts_with("HTTP/1.") || line_end < 12) {
    return {false, exchange.error.empty() ? "not an HTTP answer" : exchange.error};
  }
  const std::string status = answer.substr(9, 3);
  if (status != "200") return {false, "HTTP " + status};
  return {true, ""};
}

struct Counts {
  std::size_t agents = 0;
  std::size_t tasks = 0;
  std::map<std::string, std::size_t> tasks_by_state;
  std::size_t mailbox = 0;
  std::size_t push_pending = 0;
  std::size_t push_dead = 0;
};

std::size_t count_lines(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::size_t lines = 0;
  for (std::string line; std::getline(in, line);) {
    if (!trim(line).empty()) ++lines;
  }
  return lines;
}

Counts read_counts() {
  Counts counts;
  counts.agents = load_registry(default_registry()).size();
  for (const std::string& line : read_latest_task_lines(a2a_directory() / "tasks.jsonl")) {
    ++counts.tasks;
    const std::optional<TaskLineSummary> summary = scan_task_line(line);
    const std::string state = summary ? normalize_task_state_filter(summary->state) : "";
    ++counts.tasks_by_state[state.empty() ? "unreadable" : state];
  }
  counts.mailbox = mailbox_message_files(mailbox_messages_directory()).size();
  const PushQueuePaths push = push_queue_paths(GatewayContext{});
  // The queue keeps every state change; the last record of each delivery decides.
  counts.push_pending = read_push_queue(push.pending, {}, true).size();
  counts.push_dead = count_lines(push.dead_letter);
  return counts;
}

nlohmann::json status_json(const Probe& broker, const Probe& stand_in, const std::string& socket,
                           const std::string& endpoint, const Counts& counts) {
  nlohmann::json out;
  out["broker"] = {{"running", broker.up}, {"socket", socket}, {"error", broker.detail}};
  out["api_service"] = {{"answering", stand_in.up},
                        {"endpoint", "http://" + endpoint + "/a2a"},
                        {"error", stand_in.detail}};
  out["state_directory"] = resolve_state_directory().string();
  out["pipe_directory"] = platform::pipe_directory().string();
  out["token_file"] = (a2a_directory() / "local-token").string();
  out["agents"] = counts.agents;
  out["tasks"] = {{"total", counts.tasks}, {"by_state", counts.tasks_by_state}};
  out["mailbox_messages"] = counts.mailbox;
  out["push"] = {{"pending", counts.push_pending}, {"dead_lettered", counts.push_dead}};
  return out;
}

std::string status_text(const nlohmann::json& status) {
  const auto line = [](const char* label, const std::string& value) {
    return std::string(label) + std::string(15 - std::string_view(label).size(), ' ') + value +
           "\n";
  };
  const auto up_text = [](const nlohmann::json& part, const char* key, const char* up,
                          const char* down) {
    if (part[key].get<bool>()) return std::string(up);
    return std::string(down) + " (" + single_line(part["error"].get<std::string>()) + ")";
  };
  std::string tasks = std::to_string(status["tasks"]["total"].get<std::size_t>());
  std::string by_state;
  for (const auto& [state, count] : status["tasks"]["by_state"].items()) {
    by_state += (by_state.empty() ? "" : ", ") + state + " " + count.dump();
  }
  if (!by_state.empty()) tasks += " (" + by_state + ")";
  const nlohmann::json& push = status["push"];
  return line("broker:", up_text(status["broker"], "running", "running", "not running")) +
         line("api service:", up_text(status["api_service"], "answering", "answering",
                                      "not answering")) +
         line("endpoint:", status["api_service"]["endpoint"].get<std::string>()) +
         line("broker socket:", status["broker"]["socket"].get<std::string>()) +
         line("token file:", status["token_file"].get<std::string>()) +
         line("state dir:", status["state_directory"].get<std::string>()) +
         line("agents:", status["agents"].dump()) + line("tasks:", tasks) +
         line("mailbox:", status["mailbox_messages"].dump() + " messages") +
         line("pushes:", push["pending"].dump() + " pending, " + push["dead_lettered"].dump() +
                             " dead-lettered");
}

}  // namespace

int run_status_command(const std::vector<std::string>& args) {
  return run_cli_mode("status", kUsage, args, [&] {
    std::string error;
    const std::optional<StatusOptions> options = parse_options(args, error);
    if (!options) throw CliUsageError(error);
    BrokerClientOptions client_options;
    client_options.session_id = options->session;
    client_options.timeout_ns = 5'000'000'000;
    const BrokerClient client(client_options);
    const BrokerCall call = client.call("GET", kCardPath);
    Probe broker{call.reached && call.response.status == 200, ""};
    if (!broker.up) broker.detail = gateway_error_message(call.response);
    const Probe stand_in = probe_stand_in(options->endpoint);
    const nlohmann::json status =
        status_json(broker, stand_in, client.settings().broker_socket.string(),
                    options->endpoint, read_counts());
    write_stdout(options->json
                     ? status.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n"
                     : status_text(status));
    return broker.up ? 0 : 3;
  });
}

}  // namespace tessik
