// JSON-RPC framing of the MCP server. Every line is bounded in length (by the reader) and in
// nesting (here) before the parser sees it, and every answer is dumped with invalid UTF-8
// replaced, so no input can make the server throw or recurse without limit.
#include "mcp/mcp_protocol.h"

#include <exception>
#include <utility>

#include "base/json_depth.h"
#include "base/text.h"

namespace tessik {
namespace {

using nlohmann::json;

constexpr char kServerName[] = "tessik";
constexpr char kServerVersion[] = "1.0.0";
constexpr char kInstructions[] =
    "Tessik routes messages between local coding assistants. Reply to a Tessik message with "
    "tessik_send_message, using the \"to\" and \"sourceContext\" values the message gives.";

struct RpcError {
  int code = 0;
  std::string message;
};

std::string dump(const json& document) {
  return document.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string error_response(const json& id, const RpcError& error) {
  return dump({{"jsonrpc", "2.0"},
               {"id", id},
               {"error", {{"code", error.code}, {"message", error.message}}}});
}

bool valid_id(const json& id) {
  return id.is_string() || id.is_number_integer() || id.is_number_unsigned();
}

}  // namespace

// The result of one method call: a result document or an error, never both.
struct McpSession::Answer {
  json result;
  std::optional<RpcError> error;
};

namespace {

McpSession::Answer fail(int code, std::string message) {
  return {json(), RpcError{code, std::move(message)}};
}

McpSession::Answer succeed(json result) {
  return {std::move(result), std::nullopt};
}

json tool_result(const McpToolResult& result) {
  return {{"content", json::array({{{"type", "text"}, {"text", result.text}}})},
          {"isError", result.is_error}};
}

}  // namespace

McpSession::Answer McpSession::dispatch(const std::string& method, const json& params) {
  if (method == "initialize") return initialize(params);
  if (method == "ping") return succeed(json::object());
  if (method == "tools/list") return list_tools();
  if (method == "tools/call") return call_tool(params);
  return fail(kMcpMethodNotFound, "Method not found: " + method);
}

McpSession::Answer McpSession::initialize(const json& params) {
  const auto requested = params.find("protocolVersion");
  if (requested == params.end() || !requested->is_string()) {
    return fail(kMcpInvalidParams, "Invalid params: protocolVersion must be a string");
  }
  protocol_version_ = negotiate_mcp_protocol_version(requested->get<std::string>());
  return succeed({{"protocolVersion", protocol_version_},
                  {"capabilities", {{"tools", {{"listChanged", false}}}}},
                  {"serverInfo", {{"name", kServerName}, {"version", kServerVersion}}},
                  {"instructions", kInstructions}});
}

McpSession::Answer McpSession::list_tools() {
  json listed = json::array();
  for (const McpToolDescription& tool : tools_.tools()) {
    listed.push_back({{"name", tool.name},
                      {"title", tool.title},
                      {"description", tool.description},
                      {"inputSchema", tool.input_schema}});
  }
  tools_listed_ = true;
  return succeed({{"tools", std::move(listed)}});
}

McpSession::Answer McpSession::call_tool(const json& params) {
  const auto name = params.find("name");
  if (name == params.end() || !name->is_string()) {
    return fail(kMcpInvalidParams, "Invalid params: name must be a string");
  }
  const auto arguments = params.find("arguments");
  if (arguments != params.end() && !arguments->is_object() && !arguments->is_null()) {
    return fail(kMcpInvalidParams, "Invalid params: arguments must be an object");
  }
  const json none = json::object();
  const json& given = arguments != params.end() && arguments->is_object() ? *arguments : none;
  std::optional<McpToolResult> result;
  try {
    result = tools_.call(name->get<std::string>(), given);
  } catch (const std::exception& failure) {
    result = McpToolResult{std::string("Tessik tool failed: ") + failure.what(), true};
  }
  if (!result) return fail(kMcpInvalidParams, "Unknown tool: " + name->get<std::string>());
  return succeed(tool_result(*result));
}

std::string negotiate_mcp_protocol_version(std::string_view requested) {
  for (std::string_view version : kMcpProtocolVersions) {
    if (version == requested) return std::string(version);
  }
  return std::string(std::end(kMcpProtocolVersions)[-1]);
}

std::string McpSession::oversized_line_response() {
  return error_response(
      nullptr, {kMcpInvalidRequest,
                "Invalid Request: line exceeds " + std::to_string(kMaxMcpLineBytes) + " bytes"});
}

namespace {

// What one parsed line asks for: a call to run, an error to answer, or nothing at all.
struct Envelope {
  bool answer_expected = false;  // false for notifications and for the client's responses
  json id;                       // null when the request had none usable
  std::string method;
  json params = json::object();
  std::optional<RpcError> error;
};

Envelope read_envelope(const json& message) {
  Envelope envelope;
  if (message.is_array()) {
    envelope.answer_expected = true;
    envelope.error = RpcError{kMcpInvalidRequest, "Invalid Request: batches are not supported"};
    return envelope;
  }
  if (!message.is_object()) {
    envelope.answer_expected = true;
    envelope.error = RpcError{kMcpInvalidRequest, "Invalid Request: not an object"};
    return envelope;
  }
  const auto method = message.find("method");
  const auto id = message.find("id");
  // A notification, or a client's answer to a request of ours (this server sends none).
  if (id == message.end() || method == message.end()) {
    envelope.answer_expected = id != message.end() && !message.contains("result") &&
                               !message.contains("error");
  } else {
    envelope.answer_expected = true;
  }
  if (!envelope.answer_expected) return envelope;
  if (valid_id(*id)) envelope.id = *id;
  const auto version = message.find("jsonrpc");
  if (version == message.end() || *version != "2.0" || method == message.end() ||
      !method->is_string() || !valid_id(*id)) {
    envelope.error = RpcError{kMcpInvalidRequest, "Invalid Request"};
    return envelope;
  }
  envelope.method = method->get<std::string>();
  const auto params = message.find("params");
  if (params != message.end()) {
    if (!params->is_object()) {
      envelope.error = RpcError{kMcpInvalidParams, "Invalid params: not an object"};
    } else {
      envelope.params = *params;
    }
  }
  return envelope;
}

}  // namespace

std::optional<std::string> McpSession::handle_line(std::string_view line) {
  line = trim_view(line);
  if (line.empty()) return std::nullopt;
  if (!json_nesting_within(line)) {
    return error_response(nullptr, {kMcpInvalidRequest,
                                    "Invalid Request: JSON nests deeper than " +
                                        std::to_string(kMaxJsonNestingDepth) + " levels"});
  }
  const json message = json::parse(line, nullptr, false);
  if (message.is_discarded()) return error_response(nullptr, {kMcpParseError, "Parse error"});
  // Notifications ("notifications/initialized", "notifications/cancelled", ...) need no
  // action: every request is answered before the next line is read.
  const Envelope envelope = read_envelope(message);
  if (!envelope.answer_expected) return std::nullopt;
  if (envelope.error) return error_response(envelope.id, *envelope.error);
  Answer answer;
  try {
    answer = dispatch(envelope.method, envelope.params);
  } catch (const std::exception& failure) {
    answer = fail(kMcpInternalError, std::string("Internal error: ") + failure.what());
  }
  if (answer.error) return error_response(envelope.id, *answer.error);
  return dump({{"jsonrpc", "2.0"}, {"id", envelope.id}, {"result", std::move(answer.result)}});
}

}  // namespace tessik
