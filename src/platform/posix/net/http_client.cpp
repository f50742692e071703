// Outbound HTTP over libcurl: one easy handle per call, every limit enforced by the client
// itself, the peer pinned to approved addresses when asked.
#include "platform/http_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "base/text.h"
#include "platform/http_client_detail.h"
#include "platform/posix/crypto/pem_store.h"
#include "platform/posix/net/curl_library.h"

namespace tessik {
namespace {
using namespace http_detail;

// Time-outs. Resolving and connecting (with the TLS handshake) share one 5 s budget. libcurl
// has no per-send or per-receive time-out, so a transfer that moves less than one byte per
// second for 10 s is abandoned (the inactivity limit a stalled send or receive hits), and no
// call lasts longer than all three budgets together, which a peer trickling bytes would
// otherwise stretch without end.
constexpr long kConnectTimeoutMs = 5000;
constexpr long kStallSeconds = 10;
constexpr long kTotalTimeoutMs = 5000 + 10000 + 10000;
// What a client following redirects allows by default.
constexpr long kMaxRedirects = 10;

// State the transfer callbacks share with the call; lives on the caller's stack.
struct Transfer {
  HttpResponse* response = nullptr;
  std::size_t header_bytes = 0;
  bool header_overflow = false;
  bool body_overflow = false;
  bool address_refused = false;
  bool pin = false;
  std::vector<std::string> approved;  // normalised
};

std::size_t on_header(char* data, std::size_t size, std::size_t count, void* user) {
  auto& transfer = *static_cast<Transfer*>(user);
  const std::size_t bytes = size * count;
  // Each response (an interim 100 or a followed redirect) brings its own header block; the
  // limit applies to one block.
  if (bytes >= 5 && std::string_view(data, 5) == "HTTP/") transfer.header_bytes = 0;
  transfer.header_bytes += bytes;
  if (transfer.header_bytes > kMaxResponseHeaderBytes) {
    transfer.header_overflow = true;
    return 0;  // aborts the transfer
  }
  return bytes;
}

std::size_t on_body(char* data, std::size_t size, std::size_t count, void* user) {
  auto& transfer = *static_cast<Transfer*>(user);
  const std::size_t bytes = size * count;
  std::string& body = transfer.response->body;
  if (body.size() + bytes > kMaxResponseBodyBytes) {
    transfer.body_overflow = true;
    return 0;  // aborts the transfer
  }
  body.append(data, bytes);
  return bytes;
}

std::string address_text(const sockaddr* address) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address->sa_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
  } else if (address->sa_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text,
              sizeof text);
  }
  return text;
}

bool is_approved(const Transfer& transfer, const std::string& address) {
  const std::string normalised = normalise_address(address);
  return std::find(transfer.approved.begin(), transfer.approved.end(), normalised) !=
         transfer.approved.end();
}

// Every socket libcurl opens passes here: a peer that is not approved is never connected to,
// whatever name resolution said.
curl_socket_t on_open_socket(void* user, curlsocktype, curl_sockaddr* address) {
  auto& transfer = *static_cast<Transfer*>(user);
  if (transfer.pin && !is_approved(transfer, address_text(&address->addr))) {
    transfer.address_refused = true;
    return CURL_SOCKET_BAD;
  }
  return socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

bool is_ip_literal(const std::string& host) {
  unsigned char buffer[sizeof(in6_addr)];
  const std::string bare = normalise_address(host);
  return inet_pton(AF_INET, bare.c_str(), buffer) == 1 ||
         inet_pton(AF_INET6, bare.c_str(), buffer) == 1;
}

// "host:port:addr,addr": libcurl then uses only these addresses for the host name.
std::string pinned_resolve_entry(const std::string& host, const std::string& port,
                                 const std::vector<std::string>& approved) {
  std::string addresses;
  unsigned char buffer[sizeof(in6_addr)];
  for (const std::string& address : approved) {
    const bool v6 = inet_pton(AF_INET6, address.c_str(), buffer) == 1;
    if (!v6 && inet_pton(AF_INET, address.c_str(), buffer) != 1) continue;
    if (!addresses.empty()) addresses += ',';
    addresses += v6 ? "[" + address + "]" : address;
  }
  return host + ":" + port + ":" + addresses;
}

struct Handles {
  const CurlApi* api;
  CURL* easy = nullptr;
  CURLU* url = nullptr;
  curl_slist* headers = nullptr;
  curl_slist* resolve = nullptr;
  ~Handles() {
    if (easy) api->easy_cleanup(easy);
    if (url) api->url_cleanup(url);
    if (headers) api->slist_free_all(headers);
    if (resolve) api->slist_free_all(resolve);
  }
};

struct Request {
  bool post = false;
  const std::string* url = nullptr;
  const std::string* body = nullptr;
  std::string content_type;  // empty for GET
  const HttpHeaders* headers = nullptr;
  const HttpRequestOptions* options = nullptr;
};

struct UrlParts {
  std::string scheme;
  std::string host;
  std::string port;
};

std::string url_part(const CurlApi& api, CURLU* url, CURLUPart part) {
  char* text = nullptr;
  if (api.url_get(url, part, &text, CURLU_DEFAULT_PORT) != CURLUE_OK || text == nullptr) return "";
  std::string value = text;
  api.free(text);
  return value;
}

std::string crack_url(Handles& handles, const std::string& url, UrlParts& parts) {
  const CurlApi& api = *handles.api;
  handles.url = api.url();
  if (handles.url == nullptr) return "curl_url failed";
  if (const CURLUcode code = api.url_set(handles.url, CURLUPART_URL, url.c_str(),
                                         CURLU_NON_SUPPORT_SCHEME);
      code != CURLUE_OK) {
    return "curl_url_set failed: " + std::to_string(static_cast<int>(code));
  }
  parts.scheme = ascii_lower(url_part(api, handles.url, CURLUPART_SCHEME));
  parts.host = url_part(api, handles.url, CURLUPART_HOST);
  parts.port = url_part(api, handles.url, CURLUPART_PORT);
  if (parts.scheme != "http" && parts.scheme != "https") return kBadScheme;
  return "";
}

std::string client_certificate(const Request& request, const UrlParts& parts,
                               SelectedCertificate& selected) {
  const ClientCertificateRef& ref = request.options->client_certificate;
  if (ref.thumbprint.empty()) return "";
  if (parts.scheme != "https") return kCertificateNeedsHttps;
  selected = select_client_certificate(ref.thumbprint, ref.store_name, ref.store_location,
                                       CertificateUsage::client_authentication, true,
                                       request.options->current_user_certificate_root);
  if (!selected.error.empty()) return kCertificateSelectionFailed + selected.error;
  return "";
}

// Sets options in order and remembers the first failure, named after the option.
class OptionSetter {
 public:
  OptionSetter(const CurlApi& api, CURL* easy) : api_(api), easy_(easy) {}
  template <typename Value>
  void set(CURLoption option, const char* name, Value value) {
    if (!error_.empty()) return;
    if (const CURLcode code = api_.easy_setopt(easy_, option, value); code != CURLE_OK) {
      error_ = std::string("curl_easy_setopt(") + name + ") failed: " +
               std::to_string(static_cast<int>(code));
    }
  }
  const std::string& error() const { return error_; }

 private:
  const CurlApi& api_;
  CURL* easy_;
  std::string error_;
};
#define TESSIK_SET(setter, option, value) (setter).set(option, #option, value)

void set_session_options(OptionSetter& set, const Request& request, const UrlParts& parts) {
  const HttpRequestOptions& options = *request.options;
  TESSIK_SET(set, CURLOPT_NOSIGNAL, 1L);
  TESSIK_SET(set, CURLOPT_USERAGENT, kUserAgent);
  TESSIK_SET(set, CURLOPT_PROTOCOLS_STR, "http,https");
  TESSIK_SET(set, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
  TESSIK_SET(set, CURLOPT_LOW_SPEED_LIMIT, 1L);
  TESSIK_SET(set, CURLOPT_LOW_SPEED_TIME, kStallSeconds);
  TESSIK_SET(set, CURLOPT_TIMEOUT_MS, kTotalTimeoutMs);
  // Without no_proxy libcurl takes the proxies of the environment (http_proxy, https_proxy,
  // no_proxy), the counterpart of the system's default proxy settings.
  if (options.no_proxy) TESSIK_SET(set, CURLOPT_NOPROXY, "*");
  if (options.disable_redirects) {
    TESSIK_SET(set, CURLOPT_FOLLOWLOCATION, 0L);
  } else {
    // Redirects are followed, but never from https down to plain http.
    TESSIK_SET(set, CURLOPT_FOLLOWLOCATION, 1L);
    TESSIK_SET(set, CURLOPT_MAXREDIRS, kMaxRedirects);
    TESSIK_SET(set, CURLOPT_REDIR_PROTOCOLS_STR, parts.scheme == "https" ? "https" : "http,https");
  }
  // libcurl on OpenSSL fetches no CRLs and asks no OCSP responder by itself and ignores
  // NO_REVOKE, so there revocation is not checked online either way; stapled-OCSP checking
  // (VERIFYSTATUS) is left off because it refuses every server that staples nothing. The
  // flag is still set so that the choice reaches backends that do check.
  TESSIK_SET(set, CURLOPT_SSL_OPTIONS, options.skip_revocation_check ? long{CURLSSLOPT_NO_REVOKE} : 0L);
}

void set_tls_material(OptionSetter& set, const std::string& roots_pem,
                      const SelectedCertificate& certificate) {
  if (!roots_pem.empty()) {
    curl_blob roots{const_cast<char*>(roots_pem.data()), roots_pem.size(), CURL_BLOB_COPY};
    TESSIK_SET(set, CURLOPT_CAINFO_BLOB, &roots);
  }
  if (certificate.certificate_pem.empty()) return;
  curl_blob cert{const_cast<char*>(certificate.certificate_pem.data()),
                 certificate.certificate_pem.size(), CURL_BLOB_COPY};
  curl_blob key{const_cast<char*>(certificate.private_key_pem.data()),
                certificate.private_key_pem.size(), CURL_BLOB_COPY};
  TESSIK_SET(set, CURLOPT_SSLCERTTYPE, "PEM");
  TESSIK_SET(set, CURLOPT_SSLCERT_BLOB, &cert);
  TESSIK_SET(set, CURLOPT_SSLKEYTYPE, "PEM");
  TESSIK_SET(set, CURLOPT_SSLKEY_BLOB, &key);
}

void set_request_options(OptionSetter& set, Handles& handles, const Request& request,
                         const UrlParts& parts, Transfer& transfer) {
  const CurlApi& api = *handles.api;
  TESSIK_SET(set, CURLOPT_CURLU, handles.url);
  if (request.post) {
    TESSIK_SET(set, CURLOPT_POST, 1L);
    TESSIK_SET(set, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body->size()));
    TESSIK_SET(set, CURLOPT_POSTFIELDS, request.body->data());
  } else {
    TESSIK_SET(set, CURLOPT_HTTPGET, 1L);
  }
  // The header lines in the order they are sent; "Expect:" only keeps libcurl from adding a
  // 100-continue handshake of its own.
  auto append = [&](const std::string& text) { handles.headers = api.slist_append(handles.headers, text.c_str()); };
  if (request.post) append("Content-Type: " + request.content_type);
  append(std::string("Accept: ") + kJsonContentType);
  for (const auto& [name, value] : *request.headers) append(name + ": " + value);
  append("Expect:");
  TESSIK_SET(set, CURLOPT_HTTPHEADER, handles.headers);
  TESSIK_SET(set, CURLOPT_HEADERFUNCTION, &on_header);
  TESSIK_SET(set, CURLOPT_HEADERDATA, static_cast<void*>(&transfer));
  TESSIK_SET(set, CURLOPT_WRITEFUNCTION, &on_body);
  TESSIK_SET(set, CURLOPT_WRITEDATA, static_cast<void*>(&transfer));
  if (!transfer.pin) return;
  TESSIK_SET(set, CURLOPT_OPENSOCKETFUNCTION, &on_open_socket);
  TESSIK_SET(set, CURLOPT_OPENSOCKETDATA, static_cast<void*>(&transfer));
  if (!is_ip_literal(parts.host)) {
    handles.resolve = api.slist_append(nullptr, pinned_resolve_entry(parts.host, parts.port, transfer.approved).c_str());
    TESSIK_SET(set, CURLOPT_RESOLVE, handles.resolve);
  }
}

long response_code(const Handles& handles) {
  long code = 0;
  handles.api->easy_getinfo(handles.easy, CURLINFO_RESPONSE_CODE, &code);
  return code;
}

// The connected peer, once more after the transfer: the socket callback saw every address
// libcurl opened, this is the one it used.
bool connected_peer_approved(const Handles& handles, const Transfer& transfer) {
  char* peer = nullptr;
  if (handles.api->easy_getinfo(handles.easy, CURLINFO_PRIMARY_IP, &peer) != CURLE_OK || !peer) {
    return false;
  }
  return is_approved(transfer, peer);
}

void finish(HttpResponse& response, const Handles& handles, const Transfer& transfer,
            CURLcode code, const char* error_buffer) {
  const long status = response_code(handles);
  if (transfer.header_overflow || transfer.address_refused ||
      (code == CURLE_OK && transfer.pin && !connected_peer_approved(handles, transfer))) {
    response.body.clear();
    response.error = transfer.header_overflow ? kResponseHeadersTooLarge : kAddressNotApproved;
    return;
  }
  response.status_code = status > 0 ? static_cast<std::uint32_t>(status) : 0;
  if (code == CURLE_OK) return;
  response.body.clear();
  if (transfer.body_overflow) {
    response.error = kResponseBodyTooLarge;
    return;
  }
  response.error = "curl_easy_perform failed: " + std::to_string(static_cast<int>(code)) + " (" +
                   (*error_buffer ? error_buffer : handles.api->easy_strerror(code)) + ")";
}

std::string roots_for(const Handles& handles, const HttpRequestOptions& options) {
  char* system_bundle = nullptr;
  if (handles.api->easy_getinfo(handles.easy, CURLINFO_CAINFO, &system_bundle) != CURLE_OK) {
    system_bundle = nullptr;
  }
  return trusted_roots_pem(options.current_user_certificate_root, system_bundle);
}

HttpResponse perform(const Request& request) {
  HttpResponse response;
  const std::string checked_type = request.post ? request.content_type : kJsonContentType;
  response.error = validate_http_request(*request.url, request.post ? request.body->size() : 0,
                                         checked_type, *request.headers);
  if (!response.error.empty()) return response;
  const CurlApi* api = curl_api(response.error);
  if (api == nullptr) return response;
  Handles handles{api};
  UrlParts parts;
  SelectedCertificate certificate;
  response.error = crack_url(handles, *request.url, parts);
  if (response.error.empty()) response.error = client_certificate(request, parts, certificate);
  if (response.error.empty() &&
      request_header_block(request.content_type, *request.headers).size() > kMaxRequestHeaderBytes) {
    response.error = kRequestHeadersTooLarge;
  }
  if (!response.error.empty()) return response;
  handles.easy = api->easy_init();
  if (handles.easy == nullptr) {
    response.error = "curl_easy_init failed";
    return response;
  }
  Transfer transfer;
  transfer.response = &response;
  transfer.pin = request.options->require_approved_remote_address;
  for (const std::string& address : request.options->approved_addresses) {
    transfer.approved.push_back(normalise_address(address));
  }
  char error_buffer[CURL_ERROR_SIZE] = {};
  OptionSetter set(*api, handles.easy);
  TESSIK_SET(set, CURLOPT_ERRORBUFFER, error_buffer);
  set_session_options(set, request, parts);
  set_tls_material(set, parts.scheme == "https" ? roots_for(handles, *request.options) : "",
                   certificate);
  set_request_options(set, handles, request, parts, transfer);
  if (!set.error().empty()) {
    response.error = set.error();
    return response;
  }
  const CURLcode code = api->easy_perform(handles.easy);
  finish(response, handles, transfer, code, error_buffer);
  return response;
}

}  // namespace

HttpResponse http_get(const std::string& url, const HttpHeaders& headers,
                      const HttpRequestOptions& options) {
  static const std::string no_body;
  return perform(Request{false, &url, &no_body, "", &headers, &options});
}

HttpResponse http_post(const std::string& url, const std::string& body,
                       const HttpHeaders& headers, const std::string& content_type,
                       const HttpRequestOptions& options) {
  return perform(Request{true, &url, &body, content_type.empty() ? kJsonContentType : content_type,
                         &headers, &options});
}

}  // namespace tessik
