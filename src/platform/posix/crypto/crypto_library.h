// libcrypto loaded at run time: the executable does not link it, so only a process that
// protects data or reads certificates pays for loading and relocating it.
#pragma once

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace tessik::platform::posix {

// The libcrypto entry points this program uses; each member has the name and type of the
// library's function, so a call reads crypto.EVP_EncryptInit_ex(...). Macros of the headers
// (BIO_get_mem_data, sk_*) are spelled through the functions they expand to.
#define TESSIK_CRYPTO_FUNCTIONS(X)                                                           \
  X(EVP_CIPHER_CTX_new) X(EVP_CIPHER_CTX_free) X(EVP_CIPHER_CTX_ctrl) X(EVP_aes_256_gcm)    \
  X(EVP_EncryptInit_ex) X(EVP_EncryptUpdate) X(EVP_EncryptFinal_ex) X(EVP_DecryptInit_ex)   \
  X(EVP_DecryptUpdate) X(EVP_DecryptFinal_ex) X(EVP_sha1) X(EVP_PKEY_free) X(BIO_new)       \
  X(BIO_new_mem_buf) X(BIO_s_mem) X(BIO_free) X(BIO_ctrl) X(PEM_read_bio_X509)              \
  X(PEM_read_bio_PrivateKey) X(PEM_write_bio_X509) X(PEM_write_bio_PrivateKey) X(X509_free) \
  X(X509_digest) X(X509_cmp_current_time) X(X509_get0_notBefore) X(X509_get0_notAfter)      \
  X(X509_get_ext_d2i) X(X509_check_private_key) X(OBJ_obj2nid) X(ASN1_OBJECT_free)          \
  X(OPENSSL_sk_num) X(OPENSSL_sk_value) X(OPENSSL_sk_pop_free)

struct CryptoApi {
#define TESSIK_CRYPTO_MEMBER(name) decltype(&::name) name = nullptr;
  TESSIK_CRYPTO_FUNCTIONS(TESSIK_CRYPTO_MEMBER)
#undef TESSIK_CRYPTO_MEMBER
};

// The process's libcrypto (the major version the program was built against), loaded at the
// first call; thread-safe, read-only afterwards. Throws std::runtime_error naming the library
// and the missing piece when it cannot be loaded: the package is a dependency, so a missing
// one is a broken installation rather than an expected failure.
const CryptoApi& crypto_api();

}  // namespace tessik::platform::posix
