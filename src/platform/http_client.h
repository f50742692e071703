// Outbound HTTP: one blocking GET or POST per call, validated and bounded before any network
// activity, with optional address pinning and a TLS client certificate chosen by thumbprint.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace tessik {

enum class CertificateStoreLocation { current_user, local_machine };
enum class CertificateUsage { client_authentication, server_authentication };

// Certificate stores are folders of PEM files, "<root>/<store name>/". The current user's
// root is "<state dir>/certs", which this layer cannot know, so the caller passes it in; the
// local machine's root is "/etc/tessik/certs" (TESSIK_MACHINE_CERT_DIR overrides it, for
// tests). Certificates in a store named "Root" are trusted as TLS roots in addition to the
// system's.
struct ClientCertificateRef {
  std::string thumbprint;  // empty: no client certificate
  std::string store_name = "MY";
  CertificateStoreLocation store_location = CertificateStoreLocation::current_user;
};

struct HttpRequestOptions {
  bool no_proxy = false;           // true: no proxy at all; false: the environment's proxies
  bool disable_redirects = false;  // true: a 3xx answer is the response
  // true: the connected peer must be one of `approved_addresses`, whatever DNS says at
  // connect time; the host name is resolved only to those addresses.
  bool require_approved_remote_address = false;
  bool skip_revocation_check = false;
  std::vector<std::string> approved_addresses;  // IP address texts ("[::1]" allowed)
  ClientCertificateRef client_certificate;
  // "<state dir>/certs"; empty: the current user has no certificate stores.
  std::filesystem::path current_user_certificate_root;
};

struct HttpResponse {
  std::uint32_t status_code = 0;  // 0 when no response was received
  std::string body;
  std::string error;  // empty on success; an HTTP error status is not an error
};

// Sent in ascending byte order of the names, after Content-Type (POST) and Accept.
using HttpHeaders = std::map<std::string, std::string>;

// Both calls validate the request completely before any network activity, then make one
// request on a connection of their own. Failures (refused input, network, TLS, limits) come
// back in HttpResponse::error, never as exceptions. Safe to call from any thread; calls share
// nothing. The transfer library is loaded at the first call, so processes that never make a
// call never load it.
HttpResponse http_get(const std::string& url, const HttpHeaders& headers,
                      const HttpRequestOptions& options = {});
// `content_type` empty means "application/json".
HttpResponse http_post(const std::string& url, const std::string& body,
                       const HttpHeaders& headers, const std::string& content_type,
                       const HttpRequestOptions& options = {});

// The outcome of a certificate selection. On success `error` is empty, `certificate_pem`
// holds the certificate (followed by any further certificates of its file, as its chain) and
// `private_key_pem` the unencrypted key when one was required; the caller owns both texts.
struct SelectedCertificate {
  std::string error;
  std::string thumbprint;  // 40 upper-case hex digits
  std::filesystem::path file;
  std::string certificate_pem;
  std::string private_key_pem;
};

// Finds the certificate whose SHA-1 thumbprint is `thumbprint` (hex; case, ":", "-" and
// white space ignored) in the PEM store `store_name` at `location`, and checks its validity
// period, its extended key usage for `usage`, and, when `require_private_key`, that a
// matching private key is stored with it (in the same file or in "<file stem>.key").
// Never throws for a missing or unsuitable certificate; the reason is in `error`.
SelectedCertificate select_client_certificate(const std::string& thumbprint,
                                              const std::string& store_name,
                                              CertificateStoreLocation location,
                                              CertificateUsage usage, bool require_private_key,
                                              const std::filesystem::path& current_user_store_root);

}  // namespace tessik
