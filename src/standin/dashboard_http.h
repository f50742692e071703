// The stand-in's answers for the dashboard pages: the redirect from "/", the embedded static
// files under "/ui/", and the headers every answer of the stand-in carries for a browser.
#pragma once

#include <optional>
#include <string>

#include "wire/envelope.h"

namespace tessik {

// The policy the files run under: scripts, styles and requests only from this origin, no
// inline script, no framing.
inline constexpr const char* kDashboardContentSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
    "connect-src 'self'; form-action 'self'; base-uri 'none'; frame-ancestors 'none'";

// The page at "/ui/": index.html with the style sheet and the script written into it, so the
// browser has all it needs after one request. Its policy admits exactly those two blocks, by
// their SHA-256, and nothing else inline.
struct DashboardPage {
  std::string html;
  std::string content_security_policy;
};
// Built once from the embedded files; throws std::logic_error when the files do not have the
// shape the build relies on. Thread-safe.
const DashboardPage& dashboard_page();

// The answer for a GET (or HEAD) of "/", "/ui" or a file under "/ui/"; nullopt for every
// other request, including "/ui/api/...", which the broker answers. Pure; thread-safe.
std::optional<GatewayResponse> answer_dashboard_request(const GatewayRequest& request);

// Marks a forwarded answer as not to be cached unless it says otherwise (public cards do).
void add_browser_headers(GatewayResponse& response);

}  // namespace tessik
