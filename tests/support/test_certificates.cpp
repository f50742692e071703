// Test certificates with OpenSSL: keys, extensions, validity and signatures.
#include "support/test_certificates.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cctype>
#include <memory>
#include <stdexcept>

#include "base/random.h"

namespace tessik::test {
namespace {

struct X509Free { void operator()(X509* c) const { X509_free(c); } };
struct KeyFree { void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); } };
struct BioFree { void operator()(BIO* b) const { BIO_free(b); } };
using X509Ptr = std::unique_ptr<X509, X509Free>;
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;
using BioPtr = std::unique_ptr<BIO, BioFree>;

void require(bool ok, const char* step) {
  if (!ok) throw std::runtime_error(std::string("test certificate: ") + step + " failed");
}

std::string bio_text(BIO* bio) {
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<std::size_t>(size));
}

void add_extension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
  require(extension != nullptr, "extension");
  X509_add_ext(cert, extension, -1);
  X509_EXTENSION_free(extension);
}

KeyPtr read_key(const std::string& pem) {
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  return KeyPtr(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
}

X509Ptr read_certificate(const std::string& pem) {
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  return X509Ptr(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
}

std::string thumbprint_of(X509* cert) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  require(X509_digest(cert, EVP_sha1(), digest, &length) == 1, "digest");
  std::string text = hex_encode(std::string_view(reinterpret_cast<const char*>(digest), length));
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

TestCertificate make_test_certificate(const CertificateSpec& spec) {
  KeyPtr key(EVP_EC_gen("P-256"));
  require(key != nullptr, "key");
  X509Ptr cert(X509_new());
  static long serial = 1;
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial++);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), spec.valid_from_seconds);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), spec.valid_until_seconds);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(spec.common_name.c_str()), -1,
                             -1, 0);
  X509Ptr issuer_cert = spec.issuer ? read_certificate(spec.issuer->certificate_pem) : nullptr;
  KeyPtr issuer_key = spec.issuer ? read_key(spec.issuer->key_pem) : nullptr;
  require(!spec.issuer || (issuer_cert && issuer_key), "issuer");
  X509* signer = issuer_cert ? issuer_cert.get() : cert.get();
  X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
  if (spec.certificate_authority) {
    add_extension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
    add_extension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  }
  if (!spec.extended_key_usage.empty()) {
    add_extension(cert.get(), signer, NID_ext_key_usage, spec.extended_key_usage);
  }
  if (!spec.subject_alt_names.empty()) {
    add_extension(cert.get(), signer, NID_subject_alt_name, spec.subject_alt_names);
  }
  require(X509_sign(cert.get(), issuer_key ? issuer_key.get() : key.get(), EVP_sha256()) > 0,
          "sign");
  TestCertificate made;
  BioPtr cert_bio(BIO_new(BIO_s_mem()));
  BioPtr key_bio(BIO_new(BIO_s_mem()));
  require(PEM_write_bio_X509(cert_bio.get(), cert.get()) == 1, "write certificate");
  require(PEM_write_bio_PrivateKey(key_bio.get(), key.get(), nullptr, nullptr, 0, nullptr,
                                   nullptr) == 1,
          "write key");
  made.certificate_pem = bio_text(cert_bio.get());
  made.key_pem = bio_text(key_bio.get());
  made.thumbprint = thumbprint_of(cert.get());
  return made;
}

}  // namespace tessik::test
