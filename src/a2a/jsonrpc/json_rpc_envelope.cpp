// The JSON-RPC envelope rules: what counts as an id, a notification and a streaming method.
#include <nlohmann/json.hpp>

#include "a2a/gateway/operation_table.h"
#include "a2a/gateway/request_gates.h"
#include "a2a/jsonrpc/json_raw.h"
#include "a2a/jsonrpc/json_rpc.h"

namespace tessik {

bool is_json_rpc_notification(std::string_view body) {
  if (raw_json_member(body, "id")) return false;
  const nlohmann::json request = nlohmann::json::parse(body, nullptr, false);
  if (!request.is_object()) return false;
  const auto version = request.find("jsonrpc");
  return version != request.end() && version->is_string() && version->get<std::string>() == "2.0";
}

bool is_valid_json_rpc_id(std::string_view id) {
  if (id.size() >= 2 && id.front() == '"' && id.back() == '"') return true;
  if (!id.empty() && id.front() == '-') id.remove_prefix(1);
  if (id.empty()) return false;
  for (char c : id) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

bool is_streaming_method(std::string_view method) {
  return find_json_rpc_method(method, "", false) && !find_json_rpc_method(method, "", true);
}

std::string_view json_rpc_lookup_version(const GatewayRequest& request) {
  return requested_a2a_version(request) == "0.3" ? "0.3" : "1.0";
}

}  // namespace tessik
