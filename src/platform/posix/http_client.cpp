// Outbound HTTP over libcurl (work in progress: the calls answer with an error for now).
#include "platform/http_client.h"

namespace tessik {
namespace {
HttpResponse not_ready() {
  HttpResponse response;
  response.error = "HTTP client is not available yet";
  return response;
}
}  // namespace

HttpResponse http_get(const std::string&, const HttpHeaders&, const HttpRequestOptions&) {
  return not_ready();
}

HttpResponse http_post(const std::string&, const std::string&, const HttpHeaders&,
                       const std::string&, const HttpRequestOptions&) {
  return not_ready();
}

SelectedCertificate select_client_certificate(const std::string&, const std::string&,
                                              CertificateStoreLocation, CertificateUsage, bool,
                                              const std::filesystem::path&) {
  SelectedCertificate selected;
  selected.error = "certificate selection is not available yet";
  return selected;
}

}  // namespace tessik
