// A minimal MCP server for adapter tests that must not depend on the real one: answers
// initialize, tools/list (then writes the readiness marker named by TESSIK_MCP_READY_FILE,
// unless FAKE_MCP_NO_MARKER is set) and tools/call (appending the call and this program's
// arguments as one JSON line to FAKE_MCP_CALLS_FILE). Exits at end of input.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace {

using nlohmann::json;

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

void reply(const json& id, json result) {
  std::cout << json{{"jsonrpc", "2.0"}, {"id", id}, {"result", std::move(result)}}.dump()
            << std::endl;
}

json tool(const char* name) {
  return {{"name", name}, {"description", name}, {"inputSchema", {{"type", "object"}}}};
}

void write_marker() {
  const std::string path = env("TESSIK_MCP_READY_FILE");
  if (path.empty() || !env("FAKE_MCP_NO_MARKER").empty()) return;
  const json marker = {{"state", "tools_list_ready"},
                       {"provider", env("TESSIK_MCP_PROVIDER")},
                       {"provider_session_id", env("TESSIK_PROVIDER_SESSION_ID")}};
  const std::string temporary = path + ".tmp";
  std::ofstream(temporary) << marker.dump() << "\n";
  std::rename(temporary.c_str(), path.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  std::string line;
  while (std::getline(std::cin, line)) {
    const json message = json::parse(line, nullptr, false);
    if (!message.is_object() || !message.contains("id")) continue;  // notifications
    const std::string method = message.value("method", "");
    if (method == "initialize") {
      reply(message["id"], {{"protocolVersion", "2025-06-18"},
                            {"capabilities", {{"tools", json::object()}}},
                            {"serverInfo", {{"name", "fake-tessik"}, {"version", "1"}}}});
    } else if (method == "tools/list") {
      reply(message["id"], {{"tools", json::array({tool("tessik_send_message"),
                                                   tool("tessik_whoami"),
                                                   tool("tessik_list_agents")})}});
      write_marker();
    } else if (method == "tools/call") {
      if (const std::string path = env("FAKE_MCP_CALLS_FILE"); !path.empty()) {
        std::ofstream(path, std::ios::app)
            << json{{"params", message["params"]}, {"argv", arguments},
                    {"sender_env", env("TESSIK_SENDER_NAME")}}.dump()
            << "\n";
      }
      reply(message["id"], {{"content", json::array({{{"type", "text"}, {"text", "accepted"}}})},
                            {"isError", false}});
    }
  }
  return 0;
}
