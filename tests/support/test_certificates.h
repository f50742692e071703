// Certificates made on the fly for TLS tests: a CA, servers and clients with chosen validity
// and extended key usage, as PEM texts.
#pragma once

#include <string>

namespace tessik::test {

struct TestCertificate {
  std::string certificate_pem;
  std::string key_pem;
  std::string thumbprint;  // SHA-1 of the certificate, 40 upper-case hex digits
};

struct CertificateSpec {
  std::string common_name = "tessik-test";
  // Empty: no extension (any usage); otherwise an OpenSSL list such as "clientAuth",
  // "serverAuth,clientAuth" or "codeSigning".
  std::string extended_key_usage = {};
  long valid_from_seconds = -3600;  // relative to now
  long valid_until_seconds = 86400;
  bool certificate_authority = false;
  // Subject alternative names for a server certificate, e.g. "IP:127.0.0.1,DNS:localhost".
  std::string subject_alt_names = {};
  const TestCertificate* issuer = nullptr;  // null: self-signed
};

// Makes a P-256 key and a certificate for it. Throws std::runtime_error when OpenSSL fails.
TestCertificate make_test_certificate(const CertificateSpec& spec);

}  // namespace tessik::test
