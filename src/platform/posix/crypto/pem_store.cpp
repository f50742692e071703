// Certificate selection from PEM stores: thumbprint, validity, extended key usage and the
// private key, with libcrypto loaded on first use.
#include "platform/posix/crypto/pem_store.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <system_error>
#include <vector>

#include "base/random.h"
#include "platform/http_client_detail.h"
#include "platform/posix/crypto/crypto_library.h"

namespace tessik {
namespace fs = std::filesystem;
namespace http_detail {
namespace {

const platform::posix::CryptoApi& crypto() {
  return platform::posix::crypto_api();
}

// A store is a handful of files; these bounds keep a hostile folder from costing much.
constexpr std::size_t kMaxStoreFiles = 1000;
constexpr std::uintmax_t kMaxStoreFileBytes = 1 << 20;
constexpr std::uintmax_t kMaxSystemBundleBytes = 16 << 20;

struct X509Free { void operator()(X509* cert) const { crypto().X509_free(cert); } };
struct KeyFree { void operator()(EVP_PKEY* key) const { crypto().EVP_PKEY_free(key); } };
struct BioFree { void operator()(BIO* bio) const { crypto().BIO_free(bio); } };
using X509Ptr = std::unique_ptr<X509, X509Free>;
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;
using BioPtr = std::unique_ptr<BIO, BioFree>;

// Keys protected by a pass phrase are unusable here: nobody is there to type it, and the
// default callback would prompt on the terminal.
int refuse_pass_phrase(char*, int, int, void*) { return -1; }

std::optional<std::string> read_small_file(const fs::path& path,
                                           std::uintmax_t limit = kMaxStoreFileBytes) {
  std::error_code error;
  if (!fs::is_regular_file(path, error) || fs::file_size(path, error) > limit) {
    return std::nullopt;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return text;
}

BioPtr memory_bio(const std::string& text) {
  return BioPtr(crypto().BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

std::vector<X509Ptr> certificates_in(const std::string& pem) {
  std::vector<X509Ptr> certificates;
  BioPtr bio = memory_bio(pem);
  while (bio) {
    X509Ptr cert(crypto().PEM_read_bio_X509(bio.get(), nullptr, refuse_pass_phrase, nullptr));
    if (!cert) break;
    certificates.push_back(std::move(cert));
  }
  return certificates;
}

KeyPtr private_key_in(const std::string& pem) {
  BioPtr bio = memory_bio(pem);
  if (!bio) return nullptr;
  return KeyPtr(crypto().PEM_read_bio_PrivateKey(bio.get(), nullptr, refuse_pass_phrase, nullptr));
}

std::string sha1_thumbprint(X509* cert) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (crypto().X509_digest(cert, crypto().EVP_sha1(), digest, &length) != 1) return "";
  std::string text = hex_encode(std::string_view(reinterpret_cast<const char*>(digest), length));
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string to_pem(X509* cert) {
  BioPtr bio(crypto().BIO_new(crypto().BIO_s_mem()));
  if (!bio || crypto().PEM_write_bio_X509(bio.get(), cert) != 1) return "";
  char* data = nullptr;
  const long size = crypto().BIO_ctrl(bio.get(), BIO_CTRL_INFO, 0, reinterpret_cast<char*>(&data));
  return std::string(data, static_cast<std::size_t>(size));
}

std::string to_pem(EVP_PKEY* key) {
  BioPtr bio(crypto().BIO_new(crypto().BIO_s_mem()));
  if (!bio || crypto().PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    return "";
  }
  char* data = nullptr;
  const long size = crypto().BIO_ctrl(bio.get(), BIO_CTRL_INFO, 0, reinterpret_cast<char*>(&data));
  return std::string(data, static_cast<std::size_t>(size));
}

// The store's certificate files in name order, so that a thumbprint present twice always
// selects the same file.
std::vector<fs::path> store_files(const fs::path& directory, std::error_code& error) {
  std::vector<fs::path> files;
  for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
    const std::string extension = it->path().extension().string();
    if (extension == ".pem" || extension == ".crt" || extension == ".cer") {
      files.push_back(it->path());
      if (files.size() >= kMaxStoreFiles) break;
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::string time_validity_problem(X509* cert) {
  if (crypto().X509_cmp_current_time(crypto().X509_get0_notBefore(cert)) >= 0) return "certificate is not yet valid";
  if (crypto().X509_cmp_current_time(crypto().X509_get0_notAfter(cert)) <= 0) return "certificate has expired";
  return "";
}

std::string usage_problem(X509* cert, CertificateUsage usage) {
  int critical = 0;
  auto* usages = static_cast<EXTENDED_KEY_USAGE*>(
      crypto().X509_get_ext_d2i(cert, NID_ext_key_usage, &critical, nullptr));
  // No extension at all: the certificate may serve any purpose. A damaged one (critical -2
  // means several copies) permits nothing.
  if (usages == nullptr) return critical == -1 ? "" : "certificate effective EKU permits no usages";
  const int wanted = usage == CertificateUsage::client_authentication ? NID_client_auth
                                                                      : NID_server_auth;
  const int count = crypto().OPENSSL_sk_num(reinterpret_cast<const OPENSSL_STACK*>(usages));
  bool permitted = false;
  for (int i = 0; i < count; ++i) {
    const int nid = crypto().OBJ_obj2nid(static_cast<const ASN1_OBJECT*>(
        crypto().OPENSSL_sk_value(reinterpret_cast<const OPENSSL_STACK*>(usages), i)));
    permitted = permitted || nid == wanted || nid == NID_anyExtendedKeyUsage;
  }
  crypto().OPENSSL_sk_pop_free(reinterpret_cast<OPENSSL_STACK*>(usages),
                               reinterpret_cast<OPENSSL_sk_freefunc>(crypto().ASN1_OBJECT_free));
  if (count == 0) return "certificate effective EKU permits no usages";
  if (permitted) return "";
  return usage == CertificateUsage::client_authentication
             ? "certificate is not valid for TLS client authentication"
             : "certificate is not valid for TLS server authentication";
}

// The key stored with the certificate: in its own file, else in "<stem>.key" beside it.
std::string matching_private_key(X509* cert, const std::string& file_text, const fs::path& file,
                                 std::string& problem) {
  KeyPtr key = private_key_in(file_text);
  if (!key) {
    fs::path key_file = file;
    key_file.replace_extension(".key");
    if (std::optional<std::string> key_text = read_small_file(key_file)) {
      key = private_key_in(*key_text);
    }
  }
  if (!key) {
    problem = "no readable unencrypted private key is stored with the certificate";
    return "";
  }
  if (crypto().X509_check_private_key(cert, key.get()) != 1) {
    problem = "the stored private key does not belong to the certificate";
    return "";
  }
  return to_pem(key.get());
}

const char* location_name(CertificateStoreLocation location) {
  return location == CertificateStoreLocation::current_user ? "current-user" : "local-machine";
}

struct Found {
  X509Ptr cert;
  fs::path file;
  std::string file_text;
  std::string chain_pem;
};

// The first certificate in the store whose thumbprint is `wanted`, with the other
// certificates of its file as its chain.
std::optional<Found> find_certificate(const std::vector<fs::path>& files, const std::string& wanted) {
  for (const fs::path& file : files) {
    std::optional<std::string> text = read_small_file(file);
    if (!text) continue;
    std::vector<X509Ptr> certificates = certificates_in(*text);
    for (auto& cert : certificates) {
      if (sha1_thumbprint(cert.get()) != wanted) continue;
      Found found{std::move(cert), file, *text, ""};
      for (const auto& other : certificates) {
        if (other) found.chain_pem += to_pem(other.get());
      }
      return found;
    }
  }
  return std::nullopt;
}

}  // namespace

fs::path certificate_store_directory(CertificateStoreLocation location,
                                     const std::string& store_name, const fs::path& user_root) {
  if (location == CertificateStoreLocation::current_user) return user_root / store_name;
  const char* machine_root = std::getenv("TESSIK_MACHINE_CERT_DIR");
  return fs::path(machine_root && *machine_root ? machine_root : "/etc/tessik/certs") / store_name;
}

std::string trusted_roots_pem(const fs::path& user_root, const char* system_bundle) {
  std::string pem;
  for (const auto location : {CertificateStoreLocation::current_user,
                              CertificateStoreLocation::local_machine}) {
    if (location == CertificateStoreLocation::current_user && user_root.empty()) continue;
    std::error_code error;
    for (const fs::path& file : store_files(certificate_store_directory(location, "Root", user_root), error)) {
      std::optional<std::string> text = read_small_file(file);
      if (!text) continue;
      for (const auto& cert : certificates_in(*text)) pem += to_pem(cert.get());
    }
  }
  // A root blob takes the place of the bundle file in libcurl, so the bundle goes first.
  if (pem.empty() || system_bundle == nullptr) return pem;
  std::optional<std::string> bundle = read_small_file(system_bundle, kMaxSystemBundleBytes);
  return bundle ? *bundle + "\n" + pem : pem;
}

}  // namespace http_detail

SelectedCertificate select_client_certificate(const std::string& thumbprint,
                                              const std::string& store_name,
                                              CertificateStoreLocation location,
                                              CertificateUsage usage, bool require_private_key,
                                              const fs::path& current_user_store_root) {
  using namespace http_detail;
  SelectedCertificate selected;
  if (!normalise_thumbprint(thumbprint, selected.thumbprint, selected.error)) return selected;
  if (store_name.empty()) {
    selected.error = "certificate store name must not be empty";
    return selected;
  }
  // A store is one folder directly under its root; a name that climbs or descends elsewhere
  // is not a store.
  if (store_name.find('/') != std::string::npos || store_name == "." || store_name == "..") {
    selected.error = "certificate store name must not contain a path";
    return selected;
  }
  const bool no_root = location == CertificateStoreLocation::current_user &&
                       current_user_store_root.empty();
  std::error_code error;
  std::vector<fs::path> files;
  if (!no_root) {
    files = store_files(certificate_store_directory(location, store_name, current_user_store_root), error);
  }
  if (no_root || error) {
    selected.error = "opendir failed (" + std::to_string(no_root ? ENOENT : error.value()) + ")";
    return selected;
  }
  std::optional<Found> found = find_certificate(files, selected.thumbprint);
  if (!found) {
    selected.error = "certificate " + selected.thumbprint + " was not found in " +
                     location_name(location) + "\\" + store_name + " (" +
                     std::to_string(ENOENT) + ")";
    return selected;
  }
  X509* cert = found->cert.get();
  selected.error = time_validity_problem(cert);
  if (selected.error.empty()) selected.error = usage_problem(cert, usage);
  if (selected.error.empty() && require_private_key) {
    std::string problem;
    selected.private_key_pem = matching_private_key(cert, found->file_text, found->file, problem);
    if (!problem.empty()) selected.error = "certificate private key is unavailable: " + problem;
  }
  if (!selected.error.empty()) {
    selected.private_key_pem.clear();
    return selected;
  }
  selected.file = found->file;
  selected.certificate_pem = to_pem(cert) + found->chain_pem;
  return selected;
}

}  // namespace tessik
