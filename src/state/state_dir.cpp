// State directory resolution and the start-up tree.
#include "state/state_dir.h"

#include <cstdlib>
#include <system_error>

#include "platform/files.h"

namespace tessik {
namespace fs = std::filesystem;

fs::path resolve_state_directory() {
  if (const char* local = std::getenv("LOCALAPPDATA")) return fs::path(local) / "Tessik";
  if (const char* xdg = std::getenv("XDG_STATE_HOME")) return fs::path(xdg) / "tessik";
  if (const char* profile = std::getenv("USERPROFILE")) return fs::path(profile) / ".tessik";
  if (const char* home = std::getenv("HOME")) return fs::path(home) / ".tessik";
  throw StateDirectoryError(
      "could not resolve state directory: LOCALAPPDATA, USERPROFILE, and HOME are unset");
}

fs::path agents_registry_path() {
  return resolve_state_directory() / "registry" / "agents.tsv";
}
fs::path nodes_registry_path() {
  return resolve_state_directory() / "registry" / "nodes.tsv";
}
fs::path events_log_path() {
  return resolve_state_directory() / "logs" / "events.jsonl";
}
fs::path delivery_log_path() {
  return resolve_state_directory() / "logs" / "delivery.jsonl";
}
fs::path create_lifecycle_log_path() {
  return resolve_state_directory() / "logs" / "create-lifecycle.jsonl";
}
fs::path mailbox_messages_directory() {
  return resolve_state_directory() / "mailbox" / "messages";
}
fs::path mcp_directory() {
  return resolve_state_directory() / "mcp";
}
fs::path test_runs_directory() {
  return resolve_state_directory() / "test-runs";
}
fs::path a2a_directory() {
  return resolve_state_directory() / "a2a";
}
fs::path clients_registry_path() {
  return resolve_state_directory() / "a2a" / "clients.tsv";
}

fs::path user_key_path() {
  return resolve_state_directory() / "keys" / "user.key";
}
fs::path user_certificates_directory() {
  return resolve_state_directory() / "certs";
}

namespace {

void create_or_throw(const fs::path& directory, const char* message) {
  std::error_code error;
  platform::create_private_directories(directory, error);
  if (error) throw StateDirectoryError(std::string(message) + error.message());
}

}  // namespace

void ensure_state_directories() {
  create_or_throw(agents_registry_path().parent_path(), "could not create registry directory: ");
  create_or_throw(nodes_registry_path().parent_path(), "could not create nodes directory: ");
  create_or_throw(events_log_path().parent_path(), "could not create log directory: ");
  create_or_throw(delivery_log_path().parent_path(), "could not create delivery log directory: ");
  create_or_throw(create_lifecycle_log_path().parent_path(),
                  "could not create create lifecycle log directory: ");
  create_or_throw(mailbox_messages_directory(), "could not create mailbox messages directory: ");
  create_or_throw(test_runs_directory(), "could not create mailbox test runs directory: ");
}

}  // namespace tessik
