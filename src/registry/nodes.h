// The node registry "nodes.tsv": remote nodes of this system, read (never written) for
// remote delivery. Two row layouts exist; both read into NodeRecord.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessik {

struct NodeRecord {
  std::string node_id;
  std::string display_name;
  std::vector<std::string> aliases;
  std::string transport;  // configured transport, e.g. "ssh", "https"
  std::string api_url;
  std::string ssh_host;
  std::string ssh_user;
  // The node's access token or pairing secret in plain form (empty when the row has none or
  // it could not be opened; then pairing_secret_error says why).
  std::string pairing_secret;
  std::string pairing_secret_error;
  std::string ssh_identity_file;
  bool enabled = false;
  std::string source;
  std::string last_seen_at;
  std::string last_error;
};

// Parses one line. Rows of 13 or more fields use the current layout, 9 to 12 the older one;
// fewer than 9 give nothing. A protected secret that cannot be opened leaves the row
// readable with `pairing_secret_error` set ("could not unprotect node pairing secret: ...").
std::optional<NodeRecord> parse_node_row(std::string_view line);

// Reads the whole file: a leading "node_id<TAB>" header and blank lines are skipped, short
// rows are skipped. A missing file is an empty list. Throws RegistryError
// ("could not read node registry: <path>") when it exists but cannot be read.
std::vector<NodeRecord> read_node_registry(const std::filesystem::path& path);

}  // namespace tessik
