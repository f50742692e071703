// The static table of A2A operations (bindings, paths, versions, capabilities, scopes) and
// the queries routing, cards and the JSON-RPC binding make of it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tessik {

// One row. For "json-rpc" method rows `method` and `path` both hold the JSON-RPC method
// name; JSON-RPC endpoint rows (operation "JsonRpcEndpoint") hold "POST" and a path.
struct A2aOperationRoute {
  std::string binding;  // "http-json" or "json-rpc"
  std::string method;
  std::string path;
  std::string protocol_version;  // "1.0" or "0.3"
  std::string operation;
  std::string capability;
  std::string required_scope;  // "" = none
  bool supported = false;
};

// The 57 rows in table order. Built once, immutable, safe to read from any thread.
const std::vector<A2aOperationRoute>& a2a_operation_table();

bool is_capability_supported(std::string_view capability);
bool is_binding_supported(std::string_view binding);

// True when `path` matches `path_template` ("{id}"-style placeholders; see the .cpp).
bool path_template_matches(std::string_view path_template, std::string_view path);

// Some HTTP+JSON or JSON-RPC endpoint row has `method` (ASCII case ignored), a template
// matching `path`, and (when `require_supported`) is supported.
bool find_http_route(std::string_view method, std::string_view path, bool require_supported);

// The first HTTP+JSON or endpoint row as find_http_route matches it; nullptr when none.
const A2aOperationRoute* match_http_route(std::string_view method, std::string_view path,
                                          bool require_supported);

// Some JSON-RPC method row named `name` exactly, with `version` when it is non-empty, and
// (when `require_supported`) supported.
bool find_json_rpc_method(std::string_view name, std::string_view version, bool require_supported);

}  // namespace tessik
