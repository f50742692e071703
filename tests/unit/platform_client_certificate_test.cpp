// Client certificates from the PEM stores: selection by thumbprint with its checks and
// messages, and the selected certificate presented to a TLS server that requires one.
#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/ssl.h>

#include <cctype>
#include <filesystem>
#include <string>

#include "base/random.h"
#include "platform/http_client.h"
#include "support/loopback_http_server.h"
#include "support/temp_env.h"
#include "support/test_certificates.h"

namespace tessik {
namespace {
namespace fs = std::filesystem;
using test::write_file;
using test::CertificateSpec;
using test::TestCertificate;

std::string with_colons_lower_case(const std::string& thumbprint) {
  std::string text;
  for (std::size_t i = 0; i < thumbprint.size(); ++i) {
    if (i > 0 && i % 2 == 0) text += ':';
    text += static_cast<char>(std::tolower(static_cast<unsigned char>(thumbprint[i])));
  }
  return text;
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

class ClientCertificateTest : public ::testing::Test {
 protected:
  fs::path user_root() const { return env_.root() / "certs"; }
  fs::path machine_root() const { return env_.root() / "machine-certs"; }
  // Stores certificate and key in one file of the user's "MY" store.
  TestCertificate stored(const CertificateSpec& spec, const std::string& file = "") {
    TestCertificate made = test::make_test_certificate(spec);
    const std::string name = file.empty() ? made.thumbprint + ".pem" : file;
    write_file(user_root() / "MY" / name, made.certificate_pem + made.key_pem);
    return made;
  }
  SelectedCertificate select(const std::string& thumbprint, bool require_key = true,
                             CertificateUsage usage = CertificateUsage::client_authentication) {
    return select_client_certificate(thumbprint, "MY", CertificateStoreLocation::current_user,
                                     usage, require_key, user_root());
  }

  test::TempEnv env_;
};

TEST_F(ClientCertificateTest, SelectsByThumbprintWrittenAnyWay) {
  stored({.common_name = "other", .extended_key_usage = "clientAuth"}, "a.pem");
  const TestCertificate wanted = stored({.extended_key_usage = "clientAuth"}, "b.pem");
  const SelectedCertificate selected = select(with_colons_lower_case(wanted.thumbprint));
  ASSERT_EQ(selected.error, "");
  EXPECT_EQ(selected.thumbprint, wanted.thumbprint);
  EXPECT_EQ(selected.file, user_root() / "MY" / "b.pem");
  EXPECT_EQ(selected.certificate_pem, wanted.certificate_pem);
  EXPECT_FALSE(selected.private_key_pem.empty());

  EXPECT_EQ(select(wanted.thumbprint.substr(1)).error,
            "certificate thumbprint must contain exactly 20 SHA-1 bytes");
  EXPECT_EQ(select(wanted.thumbprint.substr(1) + "G").error,
            "certificate thumbprint contains a non-hexadecimal character");
  EXPECT_EQ(select_client_certificate(wanted.thumbprint, "", CertificateStoreLocation::current_user,
                                      CertificateUsage::client_authentication, true, user_root())
                .error,
            "certificate store name must not be empty");
}

TEST_F(ClientCertificateTest, NotFoundNamesStoreAndLocation) {
  stored({});
  const std::string absent(40, 'C');
  EXPECT_EQ(select(absent).error, "certificate " + absent + " was not found in current-user\\MY (2)");
  EXPECT_EQ(select_client_certificate(absent, "Missing", CertificateStoreLocation::current_user,
                                      CertificateUsage::client_authentication, true, user_root())
                .error,
            "opendir failed (2)");
}

TEST_F(ClientCertificateTest, ValidityPeriod) {
  const TestCertificate expired =
      stored({.valid_from_seconds = -7200, .valid_until_seconds = -3600});
  EXPECT_EQ(select(expired.thumbprint).error, "certificate has expired");
  const TestCertificate future = stored({.valid_from_seconds = 3600, .valid_until_seconds = 7200});
  EXPECT_EQ(select(future.thumbprint).error, "certificate is not yet valid");
}

TEST_F(ClientCertificateTest, ExtendedKeyUsageForTheUsage) {
  const TestCertificate signing = stored({.extended_key_usage = "codeSigning"});
  EXPECT_EQ(select(signing.thumbprint).error, "certificate is not valid for TLS client authentication");
  EXPECT_EQ(select(signing.thumbprint, true, CertificateUsage::server_authentication).error,
            "certificate is not valid for TLS server authentication");
  const TestCertificate server = stored({.extended_key_usage = "serverAuth"});
  EXPECT_EQ(select(server.thumbprint).error, "certificate is not valid for TLS client authentication");
  EXPECT_EQ(select(server.thumbprint, true, CertificateUsage::server_authentication).error, "");
  const TestCertificate any = stored({.extended_key_usage = "anyExtendedKeyUsage"});
  EXPECT_EQ(select(any.thumbprint).error, "");
  const TestCertificate unrestricted = stored({});
  EXPECT_EQ(select(unrestricted.thumbprint).error, "");
}

TEST_F(ClientCertificateTest, PrivateKeyRequiredOnlyWhenAsked) {
  const TestCertificate bare = test::make_test_certificate({});
  write_file(user_root() / "MY" / "bare.pem", bare.certificate_pem);
  EXPECT_EQ(select(bare.thumbprint).error,
            "certificate private key is unavailable: no readable unencrypted private key is "
            "stored with the certificate");
  const SelectedCertificate without_key = select(bare.thumbprint, false);
  EXPECT_EQ(without_key.error, "");
  EXPECT_TRUE(without_key.private_key_pem.empty());

  // A key beside the certificate as "<stem>.key" counts, but only the matching one.
  const TestCertificate stranger = test::make_test_certificate({});
  write_file(user_root() / "MY" / "bare.key", stranger.key_pem);
  EXPECT_EQ(select(bare.thumbprint).error,
            "certificate private key is unavailable: the stored private key does not belong to "
            "the certificate");
  write_file(user_root() / "MY" / "bare.key", bare.key_pem);
  EXPECT_EQ(select(bare.thumbprint).error, "");
}

TEST_F(ClientCertificateTest, LocalMachineStore) {
  env_.set("TESSIK_MACHINE_CERT_DIR", machine_root().string());
  const TestCertificate made = test::make_test_certificate({});
  write_file(machine_root() / "MY" / "m.pem", made.certificate_pem + made.key_pem);
  EXPECT_EQ(select(made.thumbprint).error, "opendir failed (2)");
  EXPECT_EQ(select_client_certificate(made.thumbprint, "MY",
                                      CertificateStoreLocation::local_machine,
                                      CertificateUsage::client_authentication, true, {})
                .error,
            "");
}

// A TLS server whose certificate chains to a test CA and which demands a client
// certificate from the same CA; it records the thumbprint of what it was shown.
class MutualTlsTest : public ClientCertificateTest {
 protected:
  void SetUp() override {
    ca_ = test::make_test_certificate({.common_name = "test CA", .certificate_authority = true});
    const TestCertificate server = test::make_test_certificate(
        {.common_name = "127.0.0.1", .extended_key_usage = "serverAuth",
         .subject_alt_names = "IP:127.0.0.1,DNS:localhost", .issuer = &ca_});
    const fs::path dir = env_.root() / "server";
    write_file(dir / "cert.pem", server.certificate_pem);
    write_file(dir / "key.pem", server.key_pem);
    write_file(dir / "ca.pem", ca_.certificate_pem);
    loopback_ = std::make_unique<test::LoopbackHttpServer>(std::make_unique<httplib::SSLServer>(
        (dir / "cert.pem").c_str(), (dir / "key.pem").c_str(), (dir / "ca.pem").c_str()));
    loopback_->server().Get("/who", [this](const httplib::Request& request, httplib::Response& reply) {
      X509* peer = SSL_get1_peer_certificate(request.ssl);
      unsigned char digest[EVP_MAX_MD_SIZE];
      unsigned int length = 0;
      if (peer != nullptr && X509_digest(peer, EVP_sha1(), digest, &length) == 1) {
        presented_ = hex_encode(std::string_view(reinterpret_cast<char*>(digest), length));
      }
      X509_free(peer);
      reply.set_content("hello", "text/plain");
    });
    loopback_->start("127.0.0.1", "https");
  }
  HttpRequestOptions options_for(const std::string& thumbprint) {
    HttpRequestOptions options;
    options.no_proxy = true;
    options.current_user_certificate_root = user_root();
    options.client_certificate.thumbprint = thumbprint;
    return options;
  }

  TestCertificate ca_;
  std::unique_ptr<test::LoopbackHttpServer> loopback_;
  std::string presented_;  // lower-case hex SHA-1 of the client certificate shown
};

TEST_F(MutualTlsTest, SelectedCertificateIsPresented) {
  write_file(user_root() / "Root" / "ca.pem", ca_.certificate_pem);
  const TestCertificate client =
      stored({.common_name = "client", .extended_key_usage = "clientAuth", .issuer = &ca_});
  const HttpResponse response =
      http_get(loopback_->url("/who"), {}, options_for(with_colons_lower_case(client.thumbprint)));
  EXPECT_EQ(response.error, "");
  EXPECT_EQ(response.status_code, 200u);
  EXPECT_EQ(response.body, "hello");
  EXPECT_EQ(presented_, lower(client.thumbprint));
}

TEST_F(MutualTlsTest, HandshakeFailsWithoutCertificateOrTrust) {
  write_file(user_root() / "Root" / "ca.pem", ca_.certificate_pem);
  const HttpResponse anonymous = http_get(loopback_->url("/who"), {}, options_for(""));
  EXPECT_NE(anonymous.error, "");
  EXPECT_EQ(anonymous.status_code, 0u);

  const TestCertificate wrong_usage =
      stored({.common_name = "client", .extended_key_usage = "serverAuth", .issuer = &ca_});
  EXPECT_EQ(http_get(loopback_->url("/who"), {}, options_for(wrong_usage.thumbprint)).error,
            "could not select WinHTTP client certificate: certificate is not valid for TLS "
            "client authentication");

  // Without the CA among the trusted roots the server itself is refused.
  fs::remove_all(user_root() / "Root");
  const TestCertificate client =
      stored({.common_name = "client", .extended_key_usage = "clientAuth", .issuer = &ca_});
  const HttpResponse untrusted = http_get(loopback_->url("/who"), {}, options_for(client.thumbprint));
  EXPECT_NE(untrusted.error.find("curl_easy_perform failed: 60 "), std::string::npos)
      << untrusted.error;
  EXPECT_EQ(presented_, "");
}

}  // namespace
}  // namespace tessik
