// Static pages need no broker: they are answered by the stand-in without authentication, as
// they hold no data. Everything the pages show is fetched with the token afterwards.
#include "standin/dashboard_http.h"

#include "a2a/gateway/errors.h"
#include "base/text.h"
#include "standin/dashboard_files.h"

namespace tessik {
namespace {

constexpr std::string_view kUiPrefix = "/ui/";

std::string_view content_type_of(std::string_view name) {
  if (name.ends_with(".html")) return "text/html; charset=utf-8";
  if (name.ends_with(".css")) return "text/css; charset=utf-8";
  if (name.ends_with(".js")) return "text/javascript; charset=utf-8";
  return "application/octet-stream";
}

void add_page_headers(GatewayResponse& response) {
  response.headers["Content-Security-Policy"] = kDashboardContentSecurityPolicy;
  response.headers["X-Content-Type-Options"] = "nosniff";
  response.headers["Referrer-Policy"] = "no-referrer";
  // The files change with the executable; a browser asks again rather than keep an old one.
  response.headers["Cache-Control"] = "no-cache";
}

GatewayResponse redirect(std::string_view location) {
  GatewayResponse response;
  response.status = 302;
  response.content_type = "text/plain; charset=utf-8";
  response.headers["Location"] = std::string(location);
  response.body = "See " + std::string(location) + "\n";
  add_page_headers(response);
  return response;
}

GatewayResponse file_response(const EmbeddedFile& file) {
  GatewayResponse response;
  response.status = 200;
  response.content_type = std::string(content_type_of(file.name));
  response.body = std::string(file.bytes);
  add_page_headers(response);
  return response;
}

}  // namespace

std::optional<GatewayResponse> answer_dashboard_request(const GatewayRequest& request) {
  const std::string method = ascii_lower(trim(request.method));
  if (method != "get" && method != "head") return std::nullopt;
  const std::string_view target = request.target;
  const std::string_view path = target.substr(0, target.find('?'));
  if (path == "/" || path == "/ui") return redirect(kUiPrefix);
  if (path == "/favicon.ico") {
    // Browsers ask for it on their own; there is none, and the broker need not be asked.
    GatewayResponse none;
    none.status = 204;
    add_page_headers(none);
    return none;
  }
  if (!path.starts_with(kUiPrefix) || path.starts_with("/ui/api/")) return std::nullopt;
  const std::string_view name =
      path == kUiPrefix ? std::string_view("index.html") : path.substr(kUiPrefix.size());
  for (const EmbeddedFile& file : dashboard_files()) {
    if (file.name == name) return file_response(file);
  }
  GatewayResponse missing =
      make_http_error(404, "TESSIK_UI_FILE_NOT_FOUND", "No such dashboard file.");
  add_page_headers(missing);
  return missing;
}

void add_browser_headers(GatewayResponse& response) {
  response.headers.try_emplace("Cache-Control", "no-store");
  response.headers.try_emplace("X-Content-Type-Options", "nosniff");
}

}  // namespace tessik
