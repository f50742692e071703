// Static pages need no broker: they are answered by the stand-in without authentication, as
// they hold no data. Everything the pages show is fetched with the token afterwards.
#include "standin/dashboard_http.h"

#include <stdexcept>

#include "a2a/gateway/errors.h"
#include "base/sha256.h"
#include "base/text.h"
#include "registry/local_secrets.h"
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

std::string_view embedded(std::string_view name) {
  for (const EmbeddedFile& file : dashboard_files()) {
    if (file.name == name) return file.bytes;
  }
  throw std::logic_error("dashboard file missing from the build: " + std::string(name));
}

// Replaces the one occurrence of `tag` in `html` by `block`.
void replace_tag(std::string& html, std::string_view tag, std::string_view block) {
  const std::size_t at = html.find(tag);
  if (at == std::string::npos || html.find(tag, at + 1) != std::string::npos) {
    throw std::logic_error("index.html must hold exactly one " + std::string(tag));
  }
  html.replace(at, tag.size(), block);
}

// `text` wrapped in `element`, refused when it could end the element early.
std::string inline_block(std::string_view element, std::string_view text) {
  if (ascii_lower(text).find("</" + std::string(element)) != std::string::npos) {
    throw std::logic_error("dashboard " + std::string(element) + " would close its element");
  }
  return "<" + std::string(element) + ">" + std::string(text) + "</" + std::string(element) + ">";
}

std::string hash_source(std::string_view text) {
  return "'sha256-" + base64_encode(sha256_digest(text)) + "'";
}

DashboardPage build_dashboard_page() {
  const std::string_view style = embedded("dashboard.css");
  const std::string_view script = embedded("dashboard.js");
  DashboardPage page;
  page.html = std::string(embedded("index.html"));
  replace_tag(page.html, R"(<link rel="stylesheet" href="/ui/dashboard.css">)",
              inline_block("style", style));
  replace_tag(page.html, "<script src=\"/ui/dashboard.js\" defer></script>\n", "");
  // At the end of the body the script finds every element it wires, as a deferred one did.
  replace_tag(page.html, "</body>", inline_block("script", script) + "\n</body>");
  page.content_security_policy = "default-src 'none'; script-src " + hash_source(script) +
                                 "; style-src " + hash_source(style) +
                                 "; img-src 'self'; connect-src 'self'; form-action 'self'; "
                                 "base-uri 'none'; frame-ancestors 'none'";
  return page;
}

}  // namespace

const DashboardPage& dashboard_page() {
  static const DashboardPage page = build_dashboard_page();
  return page;
}

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
  if (path == kUiPrefix) {
    const DashboardPage& page = dashboard_page();
    GatewayResponse response;
    response.status = 200;
    response.content_type = std::string(content_type_of("index.html"));
    response.body = page.html;
    add_page_headers(response);
    response.headers["Content-Security-Policy"] = page.content_security_policy;
    return response;
  }
  const std::string_view name = path.substr(kUiPrefix.size());
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
