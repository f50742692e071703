// `tessik tasks`. Paging and the state and context filters are the gateway's own ListTasks;
// the agent filter (target or requester) has no A2A parameter, so with --agent every visible
// page is read and the filtered list is paged here by the same rules (a page token is the id
// of the last task of the previous page).
#include "app/cli/tasks_command.h"

#include <charconv>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>

#include "a2a/tasks/task_queries.h"
#include "app/broker_client.h"
#include "app/cli/cli_output.h"
#include "base/text.h"

namespace tessik {
namespace {

using nlohmann::json;

constexpr const char* kUsage =
    "usage: tessik tasks [--state S] [--context ID] [--agent NAME] [--page-size N]\n"
    "                    [--page-token ID] [--token T] [--json]\n"
    "       tessik tasks show TASK_ID [--history N] [--token T] [--json]\n"
    "       tessik tasks cancel TASK_ID [--reason TEXT] [--token T] [--json]\n"
    "Lists newest first. A page that has more after it ends with the token of the next page.\n"
    "The local token may read tasks; cancelling needs a client token (--token, or\n"
    "TESSIK_A2A_TOKEN) whose clients.tsv row grants the task.cancel scope.\n";

constexpr int kListPageLimit = 100;

struct TasksOptions {
  std::string action = "list";
  std::string task_id;
  std::string state, context, agent, page_token, token, reason, history;
  int page_size = 50;
  bool json = false;
};

int parse_page_size(const std::string& text) {
  int value = 0;
  const std::string trimmed = trim(text);
  const auto [end, error] =
      std::from_chars(trimmed.data(), trimmed.data() + trimmed.size(), value);
  if (error != std::errc() || end != trimmed.data() + trimmed.size() || value < 1 ||
      value > kListPageLimit) {
    throw CliUsageError("--page-size must be an integer from 1 through 100");
  }
  return value;
}

TasksOptions parse_options(const std::vector<std::string>& args) {
  TasksOptions options;
  std::size_t i = 0;
  if (!args.empty() && (args[0] == "show" || args[0] == "cancel")) {
    options.action = args[0];
    if (args.size() < 2 || trim(args[1]).empty() || args[1].starts_with("--"))
      throw CliUsageError("tasks " + options.action + " needs a TASK_ID");
    options.task_id = trim(args[1]);
    i = 2;
  }
  const bool listing = options.action == "list";
  for (; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--json") {
      options.json = true;
      continue;
    }
    std::string* into = arg == "--token"                        ? &options.token
                        : listing && arg == "--state"           ? &options.state
                        : listing && arg == "--context"         ? &options.context
                        : listing && arg == "--agent"           ? &options.agent
                        : listing && arg == "--page-token"      ? &options.page_token
                        : options.action == "cancel" && arg == "--reason" ? &options.reason
                        : options.action == "show" && arg == "--history"  ? &options.history
                                                                           : nullptr;
    std::string page_size;
    if (listing && arg == "--page-size") into = &page_size;
    if (into == nullptr) throw CliUsageError("unknown argument: " + arg);
    if (i + 1 >= args.size()) throw CliUsageError(arg + " needs a value");
    *into = args[++i];
    if (into == &page_size) options.page_size = parse_page_size(page_size);
  }
  return options;
}

json call_json(const BrokerClient& client, const std::string& method, const std::string& target,
               const std::string& body = "") {
  const BrokerCall call = client.call(method, target, body);
  const std::string message = gateway_error_message(call.response);
  if (!call.reached) throw CliFailure(message, 3);
  if (call.response.status != 200) throw CliFailure(message, 1);
  json document = json::parse(call.response.body, nullptr, false);
  if (!document.is_object()) throw CliFailure("the broker's answer is not a JSON object", 1);
  return document;
}

std::string list_target(const TasksOptions& options, int page_size, const std::string& token) {
  std::string target = "/a2a/tasks?pageSize=" + std::to_string(page_size);
  if (!options.state.empty()) target += "&status=" + query_value(options.state);
  if (!options.context.empty()) target += "&contextId=" + query_value(options.context);
  if (!token.empty()) target += "&pageToken=" + query_value(token);
  return target;
}

std::string metadata_text(const json& task, const char* key) {
  const auto metadata = task.find("metadata");
  if (metadata == task.end() || !metadata->is_object()) return "";
  const auto value = metadata->find(key);
  return value != metadata->end() && value->is_string() ? value->get<std::string>() : "";
}

bool involves_agent(const json& task, const std::string& agent) {
  const std::string wanted = ascii_lower(trim(agent));
  return ascii_lower(trim(metadata_text(task, "tessikTargetAgent"))) == wanted ||
         ascii_lower(trim(metadata_text(task, "tessikRequesterAgent"))) == wanted;
}

// Every visible task that passes the gateway's filters and the agent filter, paged here.
json list_by_agent(const BrokerClient& client, const TasksOptions& options) {
  json matching = json::array();
  std::string token;
  do {
    json page = call_json(client, "GET", list_target(options, kListPageLimit, token));
    for (json& task : page["tasks"]) {
      if (involves_agent(task, options.agent)) matching.push_back(std::move(task));
    }
    token = page.value("nextPageToken", "");
  } while (!token.empty());
  std::size_t start = 0;
  if (!options.page_token.empty()) {
    while (start < matching.size() && matching[start].value("id", "") != options.page_token)
      ++start;
    if (start == matching.size()) throw CliFailure("pageToken is invalid or no longer visible.", 1);
    ++start;
  }
  const std::size_t end = std::min(start + options.page_size, matching.size());
  json tasks = json::array();
  for (std::size_t i = start; i < end; ++i)
    tasks.push_back(matching[i]);
  const bool more = end < matching.size() && end > start;
  return {{"tasks", std::move(tasks)},
          {"nextPageToken", more ? matching[end - 1].value("id", "") : ""},
          {"pageSize", options.page_size},
          {"totalSize", matching.size()}};
}

std::string status_text(const json& task, const char* key) {
  const auto status = task.find("status");
  if (status == task.end() || !status->is_object()) return "";
  const auto value = status->find(key);
  return value != status->end() && value->is_string() ? value->get<std::string>() : "";
}

// "TASK_STATE_COMPLETED" reads as "completed".
std::string state_word(const json& task) {
  return normalize_task_state_filter(status_text(task, "state"));
}

int print_list(const json& list, bool as_json) {
  if (as_json) {
    write_stdout(list.dump(-1, ' ', false, json::error_handler_t::replace) + "\n");
    return 0;
  }
  CliTable table{{"ID", "STATE", "UPDATED", "TARGET", "FROM", "CONTEXT"}, {}};
  for (const json& task : list["tasks"]) {
    table.rows.push_back({task.value("id", ""), state_word(task), status_text(task, "timestamp"),
                          metadata_text(task, "tessikTargetAgent"),
                          metadata_text(task, "tessikRequesterAgent"),
                          task.value("contextId", "")});
  }
  print_listing(table, "tessik tasks: no tasks");
  const std::string next = list.value("nextPageToken", "");
  if (!next.empty()) {
    std::fprintf(stderr, "tessik tasks: %zu of %zu shown; next page: --page-token %s\n",
                 list["tasks"].size(), list.value("totalSize", std::size_t{0}), next.c_str());
  }
  return 0;
}

std::string history_text(const json& task) {
  std::string out;
  const auto history = task.find("history");
  if (history == task.end() || !history->is_array()) return out;
  for (const json& message : *history) {
    std::string text;
    if (const auto parts = message.find("parts"); parts != message.end() && parts->is_array()) {
      for (const json& part : *parts)
        if (part.contains("text") && part["text"].is_string()) text += part["text"].get<std::string>();
    }
    std::string role = ascii_lower(message.value("role", ""));
    if (role.starts_with("role_")) role.erase(0, 5);
    out += "  " + single_line(role) + ": " + preview_text(text, 200) + "\n";
  }
  return out;
}

std::string task_text(const json& task) {
  std::string out = "id:       " + single_line(task.value("id", "")) + "\n";
  out += "state:    " + state_word(task) + " at " + single_line(status_text(task, "timestamp")) + "\n";
  out += "context:  " + single_line(task.value("contextId", "")) + "\n";
  out += "target:   " + single_line(metadata_text(task, "tessikTargetAgent")) + "\n";
  out += "from:     " + single_line(metadata_text(task, "tessikRequesterAgent")) + "\n";
  if (const std::string error = metadata_text(task, "tessikErrorMessage"); !error.empty())
    out += "error:    " + single_line(error) + "\n";
  if (const std::string reply = metadata_text(task, "tessikReplyBody"); !reply.empty())
    out += "reply:    " + preview_text(reply, 400) + "\n";
  const std::string history = history_text(task);
  if (!history.empty()) out += "history:\n" + history;
  if (task.contains("artifacts") && task["artifacts"].is_array())
    out += "artifacts: " + std::to_string(task["artifacts"].size()) + "\n";
  return out;
}

int print_task(const json& task, bool as_json) {
  write_stdout(as_json ? task.dump(-1, ' ', false, json::error_handler_t::replace) + "\n"
                       : task_text(task));
  return 0;
}

int run(const TasksOptions& options) {
  BrokerClientOptions client_options;
  client_options.token = options.token;
  const BrokerClient client(client_options);
  const std::string task_path = "/a2a/tasks/" + query_value(options.task_id);
  if (options.action == "show") {
    const std::string query = options.history.empty() ? "" : "?historyLength=" + query_value(options.history);
    return print_task(call_json(client, "GET", task_path + query), options.json);
  }
  if (options.action == "cancel") {
    const json body = options.reason.empty() ? json::object() : json{{"reason", options.reason}};
    try {
      return print_task(call_json(client, "POST", task_path + ":cancel", body.dump()),
                        options.json);
    } catch (const CliFailure& failure) {
      if (failure.exit_code != 1 || std::string_view(failure.what()).find("not allowed") ==
                                   std::string_view::npos)
        throw;
      throw CliFailure(std::string(failure.what()) +
                            " Cancelling needs a client token with the task.cancel scope"
                            " (--token or TESSIK_A2A_TOKEN).",
                        1);
    }
  }
  if (!options.agent.empty()) return print_list(list_by_agent(client, options), options.json);
  return print_list(
      call_json(client, "GET", list_target(options, options.page_size, options.page_token)),
      options.json);
}

}  // namespace

int run_tasks_command(const std::vector<std::string>& args) {
  return run_cli_mode("tasks", kUsage, args, [&] { return run(parse_options(args)); });
}

}  // namespace tessik
