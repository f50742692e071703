// Data protection without DPAPI: AES-256-GCM under a 256-bit key file per scope. The user key
// file is named by the caller (0600 in a 0700 directory) and is made on first use;
// the machine key is only read. The entropy is bound as associated data, so a wrong entropy
// fails authentication just as DPAPI refuses it.
// Blob layout: version byte, 12-byte nonce, ciphertext, 16-byte tag.
#include "platform/data_protection.h"

#include <string.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <system_error>

#include "platform/durable_file.h"
#include "platform/files.h"
#include "platform/posix/crypto/crypto_library.h"
#include "platform/secure_random.h"

namespace tessik::platform {
namespace {

constexpr unsigned char kBlobVersion = 1;
constexpr std::size_t kKeySize = 32;
constexpr std::size_t kNonceSize = 12;
constexpr std::size_t kTagSize = 16;
constexpr char kDefaultMachineKeyFile[] = "/var/lib/tessik/machine.key";

using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, decltype(&::EVP_CIPHER_CTX_free)>;

// Key material wiped from memory when it goes out of scope.
struct KeyBytes {
  std::string bytes;
  KeyBytes() = default;
  KeyBytes(const KeyBytes&) = delete;
  KeyBytes& operator=(const KeyBytes&) = delete;
  ~KeyBytes() { ::explicit_bzero(bytes.data(), bytes.size()); }
};

std::filesystem::path machine_key_path() {
  const char* overridden = std::getenv("TESSIK_MACHINE_KEY_FILE");
  return overridden != nullptr && *overridden != '\0'
             ? std::filesystem::path(overridden)
             : std::filesystem::path(kDefaultMachineKeyFile);
}

// Reads a key file; false with an errno-style code when it is missing, unreadable or not a key.
bool read_key(const std::filesystem::path& path, KeyBytes& key, int& error_code) {
  errno = 0;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error_code = errno != 0 ? errno : ENOENT;
    return false;
  }
  key.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad() || key.bytes.size() != kKeySize) {
    error_code = kInvalidDataError;
    ::explicit_bzero(key.bytes.data(), key.bytes.size());
    key.bytes.clear();
    return false;
  }
  return true;
}

// Writes a fresh key under a temporary name and links it into place, so a concurrent first
// use by another process cannot replace a key already in use: the first link wins and every
// process reads that one.
bool create_user_key(const std::filesystem::path& path, int& error_code) {
  std::error_code ec;
  create_private_directories(path.parent_path(), ec);
  if (ec) {
    error_code = ec.value();
    return false;
  }
  const std::filesystem::path temporary = temporary_sibling_path(path);
  const FileHandle handle = create_new_file(temporary, 0600, error_code);
  if (handle == kInvalidFileHandle) return false;
  KeyBytes key;
  key.bytes = random_secret_bytes(kKeySize);
  int ignored = 0;
  if (!write_all(handle, key.bytes, error_code) || !flush_file(handle, error_code)) {
    close_file(handle, ignored);
    remove_file_quietly(temporary);
    return false;
  }
  if (!close_file(handle, error_code)) {
    remove_file_quietly(temporary);
    return false;
  }
  const bool linked = link_file_exclusive(temporary, path, error_code);
  remove_file_quietly(temporary);
  if (!linked && error_code != file_exists_error_code()) return false;
  flush_directory(path.parent_path(), ignored);
  return true;
}

bool load_or_create_user_key(const std::filesystem::path& path, KeyBytes& key, int& error_code) {
  std::error_code ec;
  if (!std::filesystem::exists(path, ec) && !create_user_key(path, error_code)) return false;
  return read_key(path, key, error_code);
}

bool seal(std::string_view key, std::string_view plain, std::string_view entropy, std::string& blob,
          int& error_code) {
  const posix::CryptoApi& crypto = posix::crypto_api();
  const std::string nonce = random_secret_bytes(kNonceSize);
  CipherContext ctx(crypto.EVP_CIPHER_CTX_new(), crypto.EVP_CIPHER_CTX_free);
  std::string cipher(plain.size(), '\0');
  unsigned char tag[kTagSize];
  int length = 0;
  auto bytes = [](std::string_view s) { return reinterpret_cast<const unsigned char*>(s.data()); };
  const bool ok =
      ctx && crypto.EVP_EncryptInit_ex(ctx.get(), crypto.EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
      crypto.EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, kNonceSize, nullptr) == 1 &&
      crypto.EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, bytes(key), bytes(nonce)) == 1 &&
      (entropy.empty() || crypto.EVP_EncryptUpdate(ctx.get(), nullptr, &length, bytes(entropy),
                                            static_cast<int>(entropy.size())) == 1) &&
      crypto.EVP_EncryptUpdate(ctx.get(), reinterpret_cast<unsigned char*>(cipher.data()), &length,
                        bytes(plain), static_cast<int>(plain.size())) == 1 &&
      crypto.EVP_EncryptFinal_ex(ctx.get(), nullptr, &length) == 1 &&
      crypto.EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kTagSize, tag) == 1;
  if (!ok) {
    error_code = kInvalidDataError;
    return false;
  }
  blob.clear();
  blob.push_back(static_cast<char>(kBlobVersion));
  blob += nonce;
  blob += cipher;
  blob.append(reinterpret_cast<const char*>(tag), kTagSize);
  return true;
}

bool open_blob(std::string_view key, std::string_view blob, std::string_view entropy,
               std::string& plain, int& error_code) {
  if (blob.size() < 1 + kNonceSize + kTagSize ||
      static_cast<unsigned char>(blob[0]) != kBlobVersion) {
    error_code = kInvalidDataError;
    return false;
  }
  const std::string_view nonce = blob.substr(1, kNonceSize);
  const std::string_view cipher =
      blob.substr(1 + kNonceSize, blob.size() - 1 - kNonceSize - kTagSize);
  std::string tag(blob.substr(blob.size() - kTagSize));
  const posix::CryptoApi& crypto = posix::crypto_api();
  CipherContext ctx(crypto.EVP_CIPHER_CTX_new(), crypto.EVP_CIPHER_CTX_free);
  std::string out(cipher.size(), '\0');
  int length = 0;
  auto bytes = [](std::string_view s) { return reinterpret_cast<const unsigned char*>(s.data()); };
  const bool ok =
      ctx && crypto.EVP_DecryptInit_ex(ctx.get(), crypto.EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
      crypto.EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, kNonceSize, nullptr) == 1 &&
      crypto.EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, bytes(key), bytes(nonce)) == 1 &&
      (entropy.empty() || crypto.EVP_DecryptUpdate(ctx.get(), nullptr, &length, bytes(entropy),
                                            static_cast<int>(entropy.size())) == 1) &&
      crypto.EVP_DecryptUpdate(ctx.get(), reinterpret_cast<unsigned char*>(out.data()), &length,
                        bytes(cipher), static_cast<int>(cipher.size())) == 1 &&
      crypto.EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, kTagSize, tag.data()) == 1 &&
      crypto.EVP_DecryptFinal_ex(ctx.get(), nullptr, &length) == 1;
  if (!ok) {
    error_code = kInvalidDataError;
    return false;
  }
  plain = std::move(out);
  return true;
}

}  // namespace

bool protect_user_data(const std::filesystem::path& user_key_file, std::string_view plain,
                       std::string_view entropy, std::string& blob, int& error_code) {
  KeyBytes key;
  if (!load_or_create_user_key(user_key_file, key, error_code)) return false;
  return seal(key.bytes, plain, entropy, blob, error_code);
}

bool unprotect_user_data(const std::filesystem::path& user_key_file, std::string_view blob,
                         std::string_view entropy, std::string& plain, int& error_code) {
  KeyBytes key;
  if (!read_key(user_key_file, key, error_code)) return false;
  return open_blob(key.bytes, blob, entropy, plain, error_code);
}

bool unprotect_machine_data(std::string_view blob, std::string_view entropy, std::string& plain,
                            int& error_code) {
  KeyBytes key;
  if (!read_key(machine_key_path(), key, error_code)) return false;
  return open_blob(key.bytes, blob, entropy, plain, error_code);
}

}  // namespace tessik::platform
