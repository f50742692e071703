// Protected secret text: scheme prefixes around the Base64 of a platform-protected blob, and
// the node pairing secrets stored that way.
#include "registry/local_secrets.h"

#include <array>
#include <stdexcept>

#include "base/text.h"
#include "platform/data_protection.h"
#include "registry/lock_publish.h"
#include "state/state_dir.h"

namespace tessik {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<int, 256> make_decode_table() {
  std::array<int, 256> table{};
  for (int& value : table)
    value = -1;
  for (int i = 0; i < 64; ++i)
    table[static_cast<unsigned char>(kAlphabet[i])] = i;
  return table;
}
constexpr std::array<int, 256> kDecodeTable = make_decode_table();

bool is_skipped(char c) {
  return c == '\t' || c == '\n' || c == '\r' || c == ' ' || c == '=';
}

using UnprotectFunction = bool (*)(std::string_view, std::string_view, std::string&, int&);

std::string unprotect_with(std::string_view text, std::string_view prefix,
                           std::string_view format_message, std::string_view failure_prefix,
                           UnprotectFunction unprotect, std::string_view entropy,
                           std::string& error) {
  if (!text.starts_with(prefix)) {
    error = format_message;
    return {};
  }
  const std::string blob = base64_decode(text.substr(prefix.size()));
  std::string plain;
  int code = 0;
  if (!unprotect(blob, entropy, plain, code)) {
    error = std::string(failure_prefix) + std::to_string(code);
    return {};
  }
  return plain;
}

// A state directory that cannot be resolved leaves no key file to name; the blank path then
// fails the key's open with "not found", as a missing key does.
std::filesystem::path user_key_file_or_blank() {
  try {
    return user_key_path();
  } catch (const StateDirectoryError&) {
    return {};
  }
}

bool unprotect_user_blob(std::string_view blob, std::string_view entropy, std::string& plain,
                         int& code) {
  return platform::unprotect_user_data(user_key_file_or_blank(), blob, entropy, plain, code);
}

}  // namespace

std::string base64_encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const unsigned value = (static_cast<unsigned char>(bytes[i]) << 16) |
                           (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                           static_cast<unsigned char>(bytes[i + 2]);
    for (int shift = 18; shift >= 0; shift -= 6)
      out.push_back(kAlphabet[(value >> shift) & 63]);
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    unsigned value = static_cast<unsigned char>(bytes[i]) << 16;
    if (rest == 2) value |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    out.push_back(kAlphabet[(value >> 18) & 63]);
    out.push_back(kAlphabet[(value >> 12) & 63]);
    out.push_back(rest == 2 ? kAlphabet[(value >> 6) & 63] : '=');
    out.push_back('=');
  }
  return out;
}

std::string base64_decode(std::string_view text) {
  std::string out;
  out.reserve(text.size() / 4 * 3);
  unsigned buffer = 0;
  int bits = 0;
  for (char c : text) {
    if (is_skipped(c)) continue;
    const int value = kDecodeTable[static_cast<unsigned char>(c)];
    if (value < 0) throw std::invalid_argument("invalid base64 character");
    buffer = (buffer << 6) | static_cast<unsigned>(value);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((buffer >> bits) & 0xFF));
    }
  }
  return out;
}

bool is_user_protected_secret(std::string_view text) {
  return text.starts_with(kUserSecretPrefix);
}

bool is_machine_protected_secret(std::string_view text) {
  return text.starts_with(kMachineSecretPrefix);
}

std::string protect_local_secret(std::string_view plain, std::string_view entropy,
                                 std::string& error) {
  std::string blob;
  int code = 0;
  if (!platform::protect_user_data(user_key_file_or_blank(), plain, entropy, blob, code)) {
    error = "CryptProtectData failed: " + std::to_string(code);
    return {};
  }
  return kUserSecretPrefix + base64_encode(blob);
}

std::string unprotect_local_user_secret(std::string_view protected_text, std::string_view entropy,
                                        std::string& error) {
  return unprotect_with(protected_text, kUserSecretPrefix,
                        "protected secret is not a supported local-user secret format",
                        "CryptUnprotectData failed: ", unprotect_user_blob, entropy, error);
}

std::string unprotect_local_machine_secret(std::string_view protected_text,
                                           std::string_view entropy, std::string& error) {
  return unprotect_with(protected_text, kMachineSecretPrefix,
                        "protected secret is not a supported local-machine secret format",
                        "CryptUnprotectData(machine) failed: ", platform::unprotect_machine_data,
                        entropy, error);
}

std::string node_pairing_entropy(std::string_view node_id) {
  return kNodePairingEntropyLabel + trim(node_id);
}

std::string read_node_pairing_secret(std::string_view stored, std::string_view node_id) {
  const bool machine = is_machine_protected_secret(stored);
  if (!machine && !is_user_protected_secret(stored)) return std::string(stored);
  const std::string entropy = node_pairing_entropy(node_id);
  std::string error;
  std::string plain;
  try {
    plain = machine ? unprotect_local_machine_secret(stored, entropy, error)
                    : unprotect_local_user_secret(stored, entropy, error);
  } catch (const std::exception& e) {
    error = e.what();
  }
  if (!error.empty()) throw RegistryError("could not unprotect node pairing secret: " + error);
  return plain;
}

}  // namespace tessik
