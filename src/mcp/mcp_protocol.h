// The MCP server's JSON-RPC 2.0 side: one request line in, at most one response line out.
// Knows initialize, ping, tools/list and tools/call; what the tools do is the handler's.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessik {

// A request line longer than this is refused unread; a reply body of several MiB with every
// byte escaped still fits.
inline constexpr std::size_t kMaxMcpLineBytes = std::size_t{16} << 20;

// Protocol revisions this server speaks, oldest first; the last is offered to clients that
// ask for one it does not know.
inline constexpr std::string_view kMcpProtocolVersions[] = {"2025-06-18", "2025-11-25"};

// JSON-RPC error codes used by the server.
inline constexpr int kMcpParseError = -32700;
inline constexpr int kMcpInvalidRequest = -32600;
inline constexpr int kMcpMethodNotFound = -32601;
inline constexpr int kMcpInvalidParams = -32602;
inline constexpr int kMcpInternalError = -32603;

struct McpToolDescription {
  std::string name;
  std::string title;
  std::string description;
  nlohmann::json input_schema;  // a JSON Schema object
};

// What a tool call produced. `is_error` marks a failure the calling model should read (a
// refused send); the call itself still succeeded as a protocol exchange.
struct McpToolResult {
  std::string text;
  bool is_error = false;
};

// The tools a session offers. Implementations report expected failures as results and must
// not throw for them; an exception escaping `call` is answered as an error result.
class McpToolHandler {
 public:
  virtual ~McpToolHandler() = default;
  virtual std::vector<McpToolDescription> tools() const = 0;
  // Nothing when no tool has this name. `arguments` is always a JSON object.
  virtual std::optional<McpToolResult> call(std::string_view name,
                                            const nlohmann::json& arguments) = 0;
};

// One client's conversation. Not thread-safe; one line at a time, in arrival order.
class McpSession {
 public:
  struct Answer;  // one method's result document or JSON-RPC error

  explicit McpSession(McpToolHandler& tools) : tools_(tools) {}

  // Handles one line (without its line feed). Returns the response text (no line feed), or
  // nothing for notifications, responses sent by the client and blank lines. Never throws
  // for anything the line contains: bad JSON, too deep nesting, wrong shapes and unknown
  // methods all get their JSON-RPC error (a notification never gets one).
  std::optional<std::string> handle_line(std::string_view line);

  // The answer to a line that was longer than kMaxMcpLineBytes and therefore not read.
  static std::string oversized_line_response();

  // True once a tools/list request has been answered.
  bool tools_listed() const { return tools_listed_; }
  // The revision agreed at initialize; empty before it.
  const std::string& protocol_version() const { return protocol_version_; }

 private:
  Answer dispatch(const std::string& method, const nlohmann::json& params);
  Answer initialize(const nlohmann::json& params);
  Answer list_tools();
  Answer call_tool(const nlohmann::json& params);

  McpToolHandler& tools_;
  bool tools_listed_ = false;
  std::string protocol_version_;
};

// The revision to answer for `requested`: itself when supported, else the newest one.
std::string negotiate_mcp_protocol_version(std::string_view requested);

}  // namespace tessik
