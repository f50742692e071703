// Bearer authentication against the local token and the client registry.
#include "a2a/gateway/auth.h"

#include <fstream>
#include <map>
#include <memory>
#include <mutex>

#include "a2a/gateway/error_catalog.h"
#include "a2a/gateway/request_fields.h"
#include "base/sha256.h"
#include "base/text.h"
#include "platform/files.h"
#include "state/state_dir.h"

namespace tessik {
namespace {

constexpr std::string_view kBearerPrefix = "Bearer ";

std::vector<std::string> split_tabs(std::string_view line) {
  std::vector<std::string> columns;
  std::size_t start = 0;
  while (true) {
    const std::size_t tab = line.find('\t', start);
    columns.push_back(trim(line.substr(start, tab - start)));
    if (tab == std::string_view::npos) return columns;
    start = tab + 1;
  }
}

std::vector<std::string> split_scopes(std::string_view text) {
  std::vector<std::string> scopes;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t comma = text.find(',', start);
    std::string scope = trim(text.substr(start, comma - start));
    if (!scope.empty()) scopes.push_back(std::move(scope));
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  return scopes;
}

std::optional<A2aClientRecord> parse_client_row(std::string_view line) {
  const std::vector<std::string> columns = split_tabs(line);
  if (columns.size() < 5 || columns[0].empty() || columns[1].empty() || columns[2].empty()) {
    return std::nullopt;
  }
  A2aClientRecord record;
  record.authenticated = true;
  record.token_sha256 = columns[0];
  record.client_id = columns[1];
  record.sender_agent = columns[2];
  record.sender_node = columns[3].empty() ? "local" : columns[3];
  record.scopes = split_scopes(columns[4]);
  record.principal_type = columns.size() > 5 && !columns[5].empty() ? columns[5] : "registry";
  return record;
}

// Comparison time does not depend on where two equal-length tokens first differ.
bool tokens_equal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char difference = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    difference |= static_cast<unsigned char>(a[i] ^ b[i]);
  }
  return difference == 0;
}

Principal local_token_principal(const GatewayContext& context, std::string_view token) {
  Principal principal = context.principal;
  principal.authenticated = true;
  principal.token_sha256 = sha256_hex(token);
  const std::string type = trim(principal.principal_type);
  if (type.empty() || type == "registry") principal.principal_type = "inline";
  if (trim(principal.client_id).empty()) principal.client_id = "inline-token";
  if (trim(principal.sender_node).empty()) principal.sender_node = "local";
  if (principal.scopes.empty()) {
    principal.scopes = {"agent.read", "agent.send", "agent.create", "task.read"};
  }
  return principal;
}

}  // namespace

std::filesystem::path client_registry_path_for(const GatewayContext& context) {
  return context.clients_path.empty() ? clients_registry_path() : context.clients_path;
}

std::vector<A2aClientRecord> read_client_registry(const std::filesystem::path& path) {
  std::vector<A2aClientRecord> records;
  std::ifstream in(path, std::ios::binary);
  if (!in) return records;
  std::string raw;
  bool first = true;
  while (std::getline(in, raw, '\n')) {
    const std::string line = trim(raw);
    if (line.empty()) continue;
    const bool header = first && line.rfind("token_sha256\t", 0) == 0;
    first = false;
    if (header) continue;
    if (auto record = parse_client_row(line)) records.push_back(std::move(*record));
  }
  return records;
}

namespace {

// Every request with a token other than the local one consults the registry; the file is
// parsed again only when its stamp (identity, size, modification time) changed.
std::shared_ptr<const std::vector<A2aClientRecord>> cached_client_registry(
    const std::filesystem::path& path) {
  struct Entry {
    std::optional<platform::FileIdentity> stamp;
    std::shared_ptr<const std::vector<A2aClientRecord>> records;
  };
  static std::mutex mutex;
  static std::map<std::filesystem::path, Entry> entries;
  const std::optional<platform::FileIdentity> stamp = platform::file_identity(path);
  {
    std::lock_guard lock(mutex);
    const auto found = entries.find(path);
    if (stamp && found != entries.end() && found->second.stamp == stamp) {
      return found->second.records;
    }
  }
  auto records = std::make_shared<const std::vector<A2aClientRecord>>(read_client_registry(path));
  // A file that changes while it is read may carry the stamp of the earlier version, and one
  // rewritten within the clock's granularity keeps its time: only a stamp that still holds
  // afterwards and is a few seconds old is kept.
  const std::optional<platform::FileIdentity> after = platform::file_identity(path);
  std::lock_guard lock(mutex);
  if (entries.size() > 16) entries.clear();  // one or two paths in practice; tests make more
  if (platform::identity_settled(stamp, after)) {
    entries[path] = Entry{stamp, records};
  } else {
    entries.erase(path);
  }
  return records;
}

}  // namespace

std::optional<Principal> verify_bearer_token(const GatewayContext& context,
                                             std::string_view token) {
  if (token.empty()) return std::nullopt;
  const std::string local = trim(context.local_bearer_token);
  if (!local.empty() && tokens_equal(local, token)) {
    return local_token_principal(context, token);
  }
  const std::string digest = sha256_hex(token);
  const auto records = cached_client_registry(client_registry_path_for(context));
  for (const A2aClientRecord& record : *records) {
    if (record.token_sha256 == digest) return record;
  }
  return std::nullopt;
}

AuthenticationResult authenticate_a2a_request(const GatewayRequest& request,
                                              const GatewayContext& context) {
  AuthenticationResult result;
  if (context.trust_broker_principal && context.principal.authenticated) {
    result.ok = true;
    result.principal = context.principal;
    return result;
  }
  if (!context.require_auth) {
    result.ok = true;
    return result;
  }
  if (trim(context.local_bearer_token).empty() &&
      !std::filesystem::exists(client_registry_path_for(context))) {
    result.error = token_not_configured_error();
    return result;
  }
  const std::string authorization = header_value(request, "Authorization");
  if (authorization.rfind(kBearerPrefix, 0) != 0) {
    result.error = auth_required_error();
    return result;
  }
  const std::string token = trim(std::string_view(authorization).substr(kBearerPrefix.size()));
  if (auto principal = verify_bearer_token(context, token)) {
    result.ok = true;
    result.principal = std::move(*principal);
  } else {
    result.error = auth_invalid_error();
  }
  return result;
}

}  // namespace tessik
