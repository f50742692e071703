// Reader of the node registry in its current (13+ fields) and older (9-12 fields) layouts.
#include "registry/nodes.h"

#include <fstream>
#include <iterator>
#include <system_error>

#include "base/text.h"
#include "base/tsv.h"
#include "registry/local_secrets.h"
#include "registry/lock_publish.h"
#include "registry/registry.h"

namespace tessik {
namespace {

void read_pairing_secret(NodeRecord& node, std::string_view stored) {
  try {
    node.pairing_secret = read_node_pairing_secret(stored, node.node_id);
  } catch (const std::exception& e) {
    node.pairing_secret_error = e.what();
  }
}

}  // namespace

std::optional<NodeRecord> parse_node_row(std::string_view line) {
  const std::vector<std::string_view> f = split_fields(line, '\t');
  if (f.size() < 9) return std::nullopt;
  NodeRecord node;
  node.node_id = f[0];
  node.display_name = f[1];
  for (std::string_view alias : split_fields(f[2], '|')) {
    if (!trim(alias).empty()) node.aliases.emplace_back(alias);
  }
  node.transport = f[3];
  node.api_url = f[4];
  node.ssh_host = f[5];
  if (f.size() >= 13) {
    node.ssh_user = f[6];
    read_pairing_secret(node, f[7]);
    node.ssh_identity_file = f[8];
    node.enabled = parse_bool_field(f[9]);
    node.source = f[10];
    node.last_seen_at = f[11];
    node.last_error = f[12];
  } else {
    // The older layout had no user, secret or identity columns; its trailing texts fill the
    // last three text slots of the current layout (with only two, the first and the third).
    node.enabled = parse_bool_field(f[6]);
    node.source = f[7];
    if (f.size() == 9) {
      node.last_error = f[8];
    } else {
      node.last_seen_at = f[8];
      node.last_error = f[9];
    }
  }
  return node;
}

std::vector<NodeRecord> read_node_registry(const std::filesystem::path& path) {
  std::error_code ec;
  if (!std::filesystem::exists(path, ec) && !ec) return {};
  std::ifstream in(path, std::ios::binary);
  if (!in || !std::filesystem::is_regular_file(path, ec)) {
    throw RegistryError("could not read node registry: " + path.string());
  }
  const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw RegistryError("could not read node registry: " + path.string());
  std::vector<NodeRecord> nodes;
  const std::vector<std::string_view> lines = split_fields(content, '\n');
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i == 0 && lines[i].starts_with("node_id\t")) continue;
    if (trim(lines[i]).empty()) continue;
    if (auto node = parse_node_row(lines[i])) nodes.push_back(std::move(*node));
  }
  return nodes;
}

}  // namespace tessik
