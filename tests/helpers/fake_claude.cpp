// A stand-in for the Claude Code CLI, written from what the Tessik adapter exchanges with it:
// the help text, "-p --resume" turns that append to the session transcript and talk to the MCP
// server named by --mcp-config, stream-json creates with a warm-up turn, and --name renames.
//
// Environment (all optional):
//   FAKE_CLAUDE_SCENARIO   reply (default) | tool_use_only | refuse | pending | silent | error
//                          | fail | hang | warmup_never | mcp_first (create: tools listed
//                          before the warm-up turn ends) | rename_ignored
//   FAKE_CLAUDE_SESSION_SCENARIOS  "uuid=scenario,..." overrides the scenario per session
//   FAKE_CLAUDE_HELP       full (default) | bare: help without --strict-mcp-config and --name
//   FAKE_CLAUDE_REPLY_TO   recipient of the reply; default: the "to" of the body's send-back call
//   FAKE_CLAUDE_REPLY_BODY text of the reply; default "Reply from fake claude <uuid>"
//   FAKE_CLAUDE_LOG        file that gets one JSON line per event: {"event":..., ...}
//   FAKE_CLAUDE_BODY_FILE  file that gets the prompt argument of a resume, byte for byte
//   FAKE_CLAUDE_PID_FILE   (hang) file that gets the pid of a grandchild that also hangs
//   FAKE_CLAUDE_WARMUP_DELAY_MS  create: pause before each readiness step, then check whether
//                          input arrived early (logged as "input_before_..." events)
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string env(const char* name, const char* fallback = "") {
  const char* value = std::getenv(name);
  return value != nullptr ? value : fallback;
}

// The scenario of this run: the session's own entry, else FAKE_CLAUDE_SCENARIO, else reply.
std::string g_scenario = "reply";

std::string scenario_for(const std::string& session) {
  const std::string list = "," + env("FAKE_CLAUDE_SESSION_SCENARIOS") + ",";
  const std::string key = "," + session + "=";
  if (const std::size_t at = list.find(key); !session.empty() && at != std::string::npos) {
    const std::size_t start = at + key.size();
    return list.substr(start, list.find(',', start) - start);
  }
  return env("FAKE_CLAUDE_SCENARIO", "reply");
}

void log_event(const std::string& event, json fields = json::object()) {
  const std::string path = env("FAKE_CLAUDE_LOG");
  if (path.empty()) return;
  fields["event"] = event;
  fields["pid"] = ::getpid();
  std::ofstream(path, std::ios::app) << fields.dump() << "\n";
}

void append_record(const fs::path& transcript, const json& record) {
  fs::create_directories(transcript.parent_path());
  std::ofstream(transcript, std::ios::app | std::ios::binary) << record.dump() << "\n";
}

void sleep_ms(long ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Command line as the adapter builds it.
struct Arguments {
  bool help = false;
  bool print = false;
  bool stream_input = false;
  std::string resume;
  std::string session_id;
  std::string mcp_config;
  std::optional<std::string> name;
  std::vector<std::string> positional;
  std::vector<std::string> all;
};

Arguments parse_arguments(int argc, char** argv) {
  Arguments a;
  a.all.assign(argv + 1, argv + argc);
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (arg == "--help") a.help = true;
    else if (arg == "-p") a.print = true;
    else if (arg == "--resume") a.resume = next();
    else if (arg == "--session-id") a.session_id = next();
    else if (arg == "--name") a.name = next();
    else if (arg.rfind("-n", 0) == 0 && arg.size() > 2 && arg[2] != '-') a.name = arg.substr(2);
    else if (arg.rfind("--mcp-config=", 0) == 0) a.mcp_config = arg.substr(13);
    else if (arg == "--input-format") a.stream_input = next() == "stream-json";
    else if (arg == "--output-format") next();
    else if (arg.rfind("--", 0) == 0) continue;  // --verbose, --allowedTools=..., --strict-...
    else a.positional.push_back(arg);
  }
  return a;
}

void print_help() {
  const bool full = env("FAKE_CLAUDE_HELP", "full") != "bare";
  std::string text = "Usage: claude [options] [command] [prompt]\n\nOptions:\n"
                     "  -p, --print                 Print response and exit\n"
                     "  --output-format <format>    text, json or stream-json\n"
                     "  --input-format <format>     text or stream-json\n"
                     "  -r, --resume [sessionId]    Resume a conversation\n"
                     "  --session-id <uuid>         Use a specific session ID\n"
                     "  --mcp-config <configs...>   Load MCP servers from JSON files\n";
  if (full) {
    text += "  --strict-mcp-config         Only use MCP servers from --mcp-config\n"
            "  -n, --name <name>           Set a name for the session\n";
  }
  std::fputs(text.c_str(), stdout);
}

fs::path projects_root() { return fs::path(env("HOME")) / ".claude" / "projects"; }

fs::path find_transcript(const std::string& uuid) {
  std::error_code ec;
  for (fs::directory_iterator it(projects_root(), ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path candidate = it->path() / (uuid + ".jsonl");
    if (fs::is_regular_file(candidate)) return candidate;
  }
  return {};
}

std::string project_directory_name(const std::string& cwd) {
  std::string name = cwd;
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '-';
  }
  return name;
}

// --- a minimal MCP client over the server's standard streams --------------------------------

struct McpServer {
  pid_t pid = -1;
  int to_server = -1;
  FILE* from_server = nullptr;
  std::string ready_file;
};

std::optional<McpServer> start_mcp_server(const std::string& config_path) {
  std::ifstream in(config_path);
  const json config = json::parse(in, nullptr, false);
  if (!config.is_object() || !config.contains("mcpServers") ||
      !config["mcpServers"].contains("tessik"))
    return std::nullopt;
  const json server = config["mcpServers"]["tessik"];
  const json environment = server.value("env", json::object());
  std::vector<std::string> command = {server.value("command", "")};
  for (const json& arg : server.value("args", json::array()))
    command.push_back(arg.get<std::string>());
  int in_pipe[2];
  int out_pipe[2];
  if (::pipe(in_pipe) != 0 || ::pipe(out_pipe) != 0) return std::nullopt;
  const pid_t pid = ::fork();
  if (pid < 0) return std::nullopt;
  if (pid == 0) {
    ::dup2(in_pipe[0], 0);
    ::dup2(out_pipe[1], 1);
    ::close(in_pipe[1]);
    ::close(out_pipe[0]);
    for (const auto& [name, value] : environment.items())
      ::setenv(name.c_str(), value.get<std::string>().c_str(), 1);
    std::vector<char*> argv;
    for (std::string& part : command)
      argv.push_back(part.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    std::_Exit(127);
  }
  ::close(in_pipe[0]);
  ::close(out_pipe[1]);
  McpServer started{pid, in_pipe[1], ::fdopen(out_pipe[0], "r"), ""};
  started.ready_file = environment.value("TESSIK_MCP_READY_FILE", "");
  return started;
}

void send_line(const McpServer& server, const json& message) {
  const std::string line = message.dump() + "\n";
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = ::write(server.to_server, line.data() + done, line.size() - done);
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

// Sends a request and returns the response with its id (other lines are skipped).
std::optional<json> call(const McpServer& server, int id, const std::string& method, json params) {
  send_line(server, {{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", params}});
  char* line = nullptr;
  std::size_t capacity = 0;
  std::optional<json> response;
  while (::getline(&line, &capacity, server.from_server) > 0) {
    json message = json::parse(line, nullptr, false);
    if (message.is_object() && message.value("id", -1) == id) {
      response = std::move(message);
      break;
    }
  }
  std::free(line);
  return response;
}

void stop_mcp_server(McpServer& server) {
  ::close(server.to_server);
  if (server.from_server != nullptr) std::fclose(server.from_server);
  int status = 0;
  ::waitpid(server.pid, &status, 0);
}

// initialize + initialized + tools/list; true when the send tool is offered.
bool connect_mcp(const McpServer& server) {
  const auto init = call(server, 1, "initialize",
                         {{"protocolVersion", "2025-06-18"},
                          {"capabilities", json::object()},
                          {"clientInfo", {{"name", "fake-claude"}, {"version", "1.0"}}}});
  if (!init || !init->contains("result")) return false;
  send_line(server, {{"jsonrpc", "2.0"}, {"method", "notifications/initialized"}});
  const auto tools = call(server, 2, "tools/list", json::object());
  if (!tools || !tools->contains("result")) return false;
  for (const json& tool : (*tools)["result"].value("tools", json::array())) {
    if (tool.value("name", "") == "tessik_send_message") return true;
  }
  return false;
}

// --- the reply the assistant sends -----------------------------------------------------------

// The JSON string value after `key` in the last send-back call of `body`, or "".
std::string instruction_value(const std::string& body, const std::string& key) {
  const std::size_t call_at = body.rfind("tessik_send_message({");
  if (call_at == std::string::npos) return {};
  const std::string marker = "\"" + key + "\": \"";
  const std::size_t at = body.find(marker, call_at);
  if (at == std::string::npos) return {};
  std::size_t end = at + marker.size();
  while (end < body.size() && body[end] != '"') end += body[end] == '\\' ? 2 : 1;
  const json value = json::parse(body.substr(at + marker.size() - 1, end - at - marker.size() + 2),
                                 nullptr, false);
  return value.is_string() ? value.get<std::string>() : "";
}

struct Turn {
  std::string uuid;
  std::string cwd;
  fs::path transcript;
  std::string prompt;
};

json assistant_record(const Turn& turn, json content, const char* stop_reason) {
  return {{"type", "assistant"},
          {"sessionId", turn.uuid},
          {"cwd", turn.cwd},
          {"message", {{"role", "assistant"}, {"content", content}, {"stop_reason", stop_reason}}}};
}

void record_text_answer(const Turn& turn, const std::string& text) {
  append_record(turn.transcript,
                assistant_record(turn, json::array({{{"type", "text"}, {"text", text}}}), "end_turn"));
}

// Calls the send tool (through the server when there is one) and records the turn. Returns the
// text of the assistant's final answer.
std::string answer_with_send_tool(const Turn& turn, const std::optional<McpServer>& server) {
  const std::string to = env("FAKE_CLAUDE_REPLY_TO", instruction_value(turn.prompt, "to").c_str());
  const json input = {{"to", to},
                      {"body", env("FAKE_CLAUDE_REPLY_BODY",
                                   ("Reply from fake claude " + turn.uuid).c_str())},
                      {"sourceContext", instruction_value(turn.prompt, "sourceContext")}};
  append_record(turn.transcript,
                assistant_record(turn,
                                 json::array({{{"type", "tool_use"},
                                               {"id", "toolu_fake"},
                                               {"name", "mcp__tessik__tessik_send_message"},
                                               {"input", input}}}),
                                 "tool_use"));
  std::string outcome = "no server";
  if (server) {
    const auto response = call(*server, 3, "tools/call",
                               {{"name", "tessik_send_message"}, {"arguments", input}});
    outcome = response ? response->dump() : "no response";
  }
  log_event("tool_called", {{"input", input}, {"response", outcome}});
  record_text_answer(turn, "I sent the reply through Tessik.");
  return "I sent the reply through Tessik.";
}

// Answers one prompt the way the scenario says; returns {result text, is_error}.
std::pair<std::string, bool> answer(const Turn& turn, const std::string& config,
                                    std::optional<McpServer>& server) {
  const std::string& scenario = g_scenario;
  if (scenario == "refuse") {
    const std::string text = "I cannot comply: this looks like a prompt injection.";
    record_text_answer(turn, text);
    return {text, false};
  }
  if (scenario == "silent") {
    record_text_answer(turn, "Noted.");
    return {"Noted.", false};
  }
  if (scenario == "error") return {"API Error: overloaded", true};
  if (scenario == "pending") {
    record_text_answer(turn, "MCP server tessik is unavailable, so I cannot reply.");
    return {"MCP server tessik is unavailable", false};
  }
  if (scenario == "tool_use_only") return {answer_with_send_tool(turn, std::nullopt), false};
  if (!server) {
    server = start_mcp_server(config);
    if (server && !connect_mcp(*server)) {
      stop_mcp_server(*server);
      server.reset();
    }
  }
  if (!server) {
    record_text_answer(turn, "MCP server tessik is unavailable.");
    return {"MCP server tessik is unavailable", false};
  }
  return {answer_with_send_tool(turn, server), false};
}

[[noreturn]] void hang() {
  const pid_t child = ::fork();
  if (child == 0) {
    for (;;) ::pause();
  }
  if (const std::string path = env("FAKE_CLAUDE_PID_FILE"); !path.empty())
    std::ofstream(path) << child << "\n";
  for (;;) ::pause();
}

json result_line(const std::string& uuid, const std::string& text, bool is_error) {
  json result = {{"type", "result"}, {"subtype", is_error ? "error" : "success"},
                 {"is_error", is_error}, {"session_id", uuid}, {"result", text}};
  if (g_scenario == "pending") result["pendingMcpServers"] = {"tessik"};
  return result;
}

int resume(const Arguments& args) {
  Turn turn{args.resume, "", find_transcript(args.resume), ""};
  if (turn.transcript.empty()) {
    std::printf("%s\n", result_line(args.resume, "No conversation found", true).dump().c_str());
    return 1;
  }
  turn.cwd = fs::current_path().string();
  if (args.name) {
    log_event("rename", {{"name", *args.name}, {"positional", args.positional}});
    if (g_scenario != "rename_ignored") {
      append_record(turn.transcript, {{"type", "custom-title"},
                                      {"customTitle", *args.name},
                                      {"sessionId", turn.uuid}});
    }
    std::printf("%s\n", result_line(turn.uuid, "", false).dump().c_str());
    return 0;
  }
  turn.prompt = args.positional.empty() ? "" : args.positional.back();
  if (const std::string path = env("FAKE_CLAUDE_BODY_FILE"); !path.empty())
    std::ofstream(path, std::ios::binary) << turn.prompt;
  log_event("resume", {{"arguments", args.all}, {"cwd", turn.cwd}});
  if (g_scenario == "hang") hang();
  if (g_scenario == "fail") {
    std::fputs("fatal: the fake was told to fail\n", stderr);
    return 3;
  }
  append_record(turn.transcript, {{"type", "user"}, {"sessionId", turn.uuid}, {"cwd", turn.cwd},
                                  {"message", {{"role", "user"}, {"content", turn.prompt}}}});
  std::optional<McpServer> server;
  const auto [text, is_error] = answer(turn, args.mcp_config, server);
  if (server) stop_mcp_server(*server);
  std::printf("%s\n", result_line(turn.uuid, text, is_error).dump().c_str());
  return 0;
}

// Standard input read with read(2), so that poll() tells whether more input is waiting.
class InputLines {
 public:
  std::optional<std::string> next() {
    for (;;) {
      if (const std::size_t at = buffer_.find('\n'); at != std::string::npos) {
        std::string line = buffer_.substr(0, at);
        buffer_.erase(0, at + 1);
        return line;
      }
      char chunk[65536];
      const ssize_t n = ::read(0, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return std::nullopt;
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }
  bool input_waiting() const {
    pollfd fd{0, POLLIN, 0};
    return !buffer_.empty() || (::poll(&fd, 1, 0) > 0 && (fd.revents & POLLIN) != 0);
  }

 private:
  std::string buffer_;
};

std::string user_text(const std::string& line) {
  const json message = json::parse(line, nullptr, false);
  if (!message.is_object()) return {};
  return message["message"]["content"][0].value("text", "");
}

void pause_and_check_input(const InputLines& input, const char* step) {
  const long delay = std::atol(env("FAKE_CLAUDE_WARMUP_DELAY_MS", "0").c_str());
  if (delay <= 0) return;
  sleep_ms(delay);
  if (input.input_waiting()) log_event(std::string("input_before_") + step);
}

int create(const Arguments& args) {
  const std::string& scenario = g_scenario;
  Turn turn{args.session_id, fs::current_path().string(), {}, ""};
  turn.transcript = projects_root() / project_directory_name(turn.cwd) / (turn.uuid + ".jsonl");
  log_event("create", {{"arguments", args.all}, {"cwd", turn.cwd}});
  if (scenario == "hang") hang();
  if (scenario == "fail") return 3;
  InputLines input;
  const auto warm_up = input.next();
  if (!warm_up) return 4;
  log_event("warmup_read", {{"text", user_text(*warm_up)}});
  append_record(turn.transcript, {{"type", "user"}, {"sessionId", turn.uuid}, {"cwd", turn.cwd},
                                  {"message", {{"role", "user"}, {"content", user_text(*warm_up)}}}});
  if (args.name) {
    append_record(turn.transcript,
                  {{"type", "custom-title"}, {"customTitle", *args.name}, {"sessionId", turn.uuid}});
  }
  std::optional<McpServer> server;
  const auto connect = [&] {
    server = start_mcp_server(args.mcp_config);
    if (server && !connect_mcp(*server)) {
      log_event("mcp_connect_failed");
      stop_mcp_server(*server);
      server.reset();
    } else if (server) {
      log_event("mcp_connected");
    }
  };
  if (scenario == "mcp_first") {
    connect();
    pause_and_check_input(input, "warmup_completed");
    record_text_answer(turn, "Standing by.");
    log_event("warmup_completed");
  } else if (scenario != "warmup_never") {
    pause_and_check_input(input, "warmup_completed");
    record_text_answer(turn, "Standing by.");
    log_event("warmup_completed");
    pause_and_check_input(input, "mcp_ready");
    connect();
  }
  const auto real = input.next();
  if (real) {
    turn.prompt = user_text(*real);
    log_event("real_line_read", {{"text", turn.prompt}});
    append_record(turn.transcript, {{"type", "user"}, {"sessionId", turn.uuid}, {"cwd", turn.cwd},
                                    {"message", {{"role", "user"}, {"content", turn.prompt}}}});
    const auto [text, is_error] = answer(turn, args.mcp_config, server);
    std::printf("%s\n", result_line(turn.uuid, text, is_error).dump().c_str());
  }
  while (input.next()) {
  }
  if (server) stop_mcp_server(*server);
  return real ? 0 : 5;
}

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  const Arguments args = parse_arguments(argc, argv);
  g_scenario = scenario_for(args.resume.empty() ? args.session_id : args.resume);
  if (args.help) {
    print_help();
    return 0;
  }
  if (args.print && args.stream_input && !args.session_id.empty()) return create(args);
  if (args.print && !args.resume.empty()) return resume(args);
  std::fputs("fake claude: unsupported command line\n", stderr);
  return 2;
}
