// Protected secret text ("dpapi-user-v1:" / "dpapi-machine-v1:" + Base64 of a protected
// blob), its Base64 codec, and the reading of node pairing secrets.
#pragma once

#include <string>
#include <string_view>

namespace tessik {

inline constexpr char kUserSecretPrefix[] = "dpapi-user-v1:";
inline constexpr char kMachineSecretPrefix[] = "dpapi-machine-v1:";

// First part of the entropy of every node pairing secret (23 characters, ends in a colon);
// followed by the trimmed node id. Fixed wherever pairing secrets are written or read.
inline constexpr char kNodePairingEntropyLabel[] = "tessik-node-pairing-v1:";

// Protects `plain` for the current user. Returns the protected text, or empty with `error`
// ("CryptProtectData failed: <code>"). Never throws.
std::string protect_local_secret(std::string_view plain, std::string_view entropy,
                                 std::string& error);

// Returns the plain text, or empty with `error`: the format message, or
// "CryptUnprotectData failed: <code>". Throws only "invalid base64 character".
std::string unprotect_local_user_secret(std::string_view protected_text, std::string_view entropy,
                                        std::string& error);
// The same for the machine form ("CryptUnprotectData(machine) failed: <code>").
std::string unprotect_local_machine_secret(std::string_view protected_text,
                                           std::string_view entropy, std::string& error);

bool is_user_protected_secret(std::string_view text);
bool is_machine_protected_secret(std::string_view text);

// Standard alphabet with "=" padding.
std::string base64_encode(std::string_view bytes);
// Skips tab, LF, CR, space and "=" anywhere; throws std::invalid_argument
// ("invalid base64 character") for any other character outside the alphabet.
std::string base64_decode(std::string_view text);

// The entropy of node `node_id`'s pairing secret: the label and the trimmed node id.
std::string node_pairing_entropy(std::string_view node_id);

// A stored pairing secret in plain form: unprotected text is returned as stored; protected
// text is opened with the node's entropy. Throws RegistryError
// ("could not unprotect node pairing secret: <reason>") on failure.
std::string read_node_pairing_secret(std::string_view stored, std::string_view node_id);

}  // namespace tessik
