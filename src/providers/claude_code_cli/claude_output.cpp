// Classification of Claude Code CLI output and transcript text.
#include "providers/claude_code_cli/claude_output.h"

#include <array>
#include <nlohmann/json.hpp>
#include <vector>

#include "base/json_depth.h"
#include "base/text.h"

namespace tessik {
namespace {

constexpr std::array<std::string_view, 3> kSendToolNames = {
    "mcp__tessik__tessik_send_message", "mcp__tessik.tessik_send_message", "tessik_send_message"};

bool contains(std::string_view text, std::string_view word) {
  return text.find(word) != std::string_view::npos;
}

// After "pendingmcpservers", skip the separators a JSON or log rendering puts before a list
// (quotes, colons, equals signs, blanks); the list is the bracketed text that follows.
bool pending_list_names_tessik(std::string_view lower) {
  constexpr std::string_view kKey = "pendingmcpservers";
  for (std::size_t at = lower.find(kKey); at != std::string_view::npos;
       at = lower.find(kKey, at + 1)) {
    std::size_t i = at + kKey.size();
    while (i < lower.size() && (lower[i] == '"' || lower[i] == ':' || lower[i] == '=' ||
                                lower[i] == ' ' || lower[i] == '\t' || lower[i] == '\''))
      ++i;
    if (i >= lower.size() || lower[i] != '[') continue;
    const std::size_t close = lower.find(']', i);
    if (close == std::string_view::npos) continue;
    if (contains(lower.substr(i, close - i), "tessik")) return true;
  }
  return false;
}

bool is_send_tool_use(const nlohmann::json& node) {
  const auto type = node.find("type");
  const auto name = node.find("name");
  if (type == node.end() || name == node.end() || !type->is_string() || !name->is_string())
    return false;
  if (type->get_ref<const std::string&>() != "tool_use") return false;
  for (std::string_view tool : kSendToolNames) {
    if (name->get_ref<const std::string&>() == tool) return true;
  }
  return false;
}

// Iterative walk: the depth was bounded before parsing, but no recursion is needed anyway.
bool holds_send_tool_use(const nlohmann::json& root) {
  std::vector<const nlohmann::json*> pending{&root};
  while (!pending.empty()) {
    const nlohmann::json* node = pending.back();
    pending.pop_back();
    if (node->is_object() && is_send_tool_use(*node)) return true;
    if (node->is_structured()) {
      for (const nlohmann::json& child : *node)
        pending.push_back(&child);
    }
  }
  return false;
}

nlohmann::json parse_object(std::string_view text) {
  if (!json_nesting_within(text)) return nullptr;
  nlohmann::json value = nlohmann::json::parse(text, nullptr, false);
  return value.is_object() ? value : nlohmann::json();
}

template <typename Visit>
void for_each_line(std::string_view text, Visit visit) {
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    if (visit(trim_view(text.substr(start, end - start)))) return;
    start = end + 1;
  }
}

ClaudeResultRecord result_from(const nlohmann::json& record) {
  ClaudeResultRecord result;
  result.found = true;
  const auto error = record.find("is_error");
  result.is_error = error != record.end() && error->is_boolean() && error->get<bool>();
  const auto session = record.find("session_id");
  if (session != record.end() && session->is_string()) result.session_id = session->get<std::string>();
  return result;
}

bool is_result_record(const nlohmann::json& record) {
  const auto type = record.find("type");
  return (type != record.end() && *type == "result") || record.contains("is_error") ||
         record.contains("session_id");
}

}  // namespace

bool claude_mcp_not_ready(std::string_view text) {
  const std::string lower = ascii_lower(text);
  return pending_list_names_tessik(lower) || contains(lower, "mcp server tessik is unavailable") ||
         contains(lower, "mcp server tessik is disconnected");
}

bool claude_refused(std::string_view text) {
  const std::string lower = ascii_lower(text);
  return contains(lower, "prompt injection") || contains(lower, "cannot comply") ||
         contains(lower, "can't comply");
}

bool claude_send_tool_called(std::string_view text) {
  bool found = false;
  for_each_line(text, [&](std::string_view line) {
    if (line.empty() || line.front() != '{' || !contains(line, "tool_use")) return false;
    const nlohmann::json record = parse_object(line);
    found = record.is_object() && holds_send_tool_use(record);
    return found;
  });
  return found;
}

ClaudeResultRecord find_claude_result(std::string_view output) {
  if (const nlohmann::json whole = parse_object(trim_view(output)); whole.is_object())
    return result_from(whole);
  ClaudeResultRecord last;
  for_each_line(output, [&](std::string_view line) {
    if (line.empty() || line.front() != '{') return false;
    const nlohmann::json record = parse_object(line);
    if (record.is_object() && is_result_record(record)) last = result_from(record);
    return false;
  });
  return last;
}

}  // namespace tessik
