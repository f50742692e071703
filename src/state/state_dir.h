// The per-user state directory: where it is, its fixed paths, and the start-up tree.
// Resolved afresh on every call so that a changed environment takes effect at the next use.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>

namespace tessik {

// Raised when the state directory cannot be resolved or its tree cannot be created.
class StateDirectoryError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// LOCALAPPDATA/Tessik, else XDG_STATE_HOME/tessik, else USERPROFILE or HOME joined with
// ".tessik". A variable counts as set even when empty. Throws StateDirectoryError.
std::filesystem::path resolve_state_directory();

std::filesystem::path agents_registry_path();        // registry/agents.tsv
std::filesystem::path nodes_registry_path();         // registry/nodes.tsv
std::filesystem::path events_log_path();             // logs/events.jsonl
std::filesystem::path delivery_log_path();           // logs/delivery.jsonl
std::filesystem::path create_lifecycle_log_path();   // logs/create-lifecycle.jsonl
std::filesystem::path mailbox_messages_directory();  // mailbox/messages
std::filesystem::path test_runs_directory();         // test-runs
std::filesystem::path a2a_directory();               // a2a
std::filesystem::path clients_registry_path();       // a2a/clients.tsv
std::filesystem::path user_key_path();               // keys/user.key
std::filesystem::path mcp_directory();               // mcp (assistants' MCP configurations)
// certs: the current user's certificate stores, one folder of PEM files per store name
// (HttpRequestOptions::current_user_certificate_root).
std::filesystem::path user_certificates_directory();

// Creates the registry, log, mailbox and test-runs directories with their ancestors.
// Throws StateDirectoryError with the step's message and the system's description.
void ensure_state_directories();

}  // namespace tessik
