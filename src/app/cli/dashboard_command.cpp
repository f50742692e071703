// `tessik dashboard`: the address of the page the stand-in serves, and where to find the token
// the page asks for. The token stays in its owner-only file: a URL handed to an opener shows
// up in other users' process lists.
#include "app/cli/dashboard_command.h"

#include <cstdio>
#include <cstdlib>
#include <exception>

#include "platform/uri_launcher.h"
#include "state/state_dir.h"

namespace tessik {
namespace {

constexpr const char* kUsage =
    "usage: tessik dashboard [--url BASE] [--no-open]\n"
    "  --url      address of the API service (default http://127.0.0.1:37661)\n"
    "  --no-open  print the address only\n";

bool has_desktop() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value && *value) return true;
  }
  return false;
}

}  // namespace

bool parse_dashboard_options(const std::vector<std::string>& args, DashboardOptions& options,
                             std::string& error) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--no-open") {
      options.open = false;
    } else if (args[i] == "--url" && i + 1 < args.size()) {
      options.base_url = args[++i];
    } else if (args[i].starts_with("--url=")) {
      options.base_url = args[i].substr(6);
    } else {
      error = "unexpected argument '" + args[i] + "'";
      return false;
    }
  }
  if (!options.base_url.starts_with("http://") && !options.base_url.starts_with("https://")) {
    error = "--url must start with http:// or https://";
    return false;
  }
  return true;
}

std::string dashboard_url(const std::string& base_url) {
  std::string url = base_url;
  while (url.ends_with('/'))
    url.pop_back();
  return url + "/ui/";
}

int run_dashboard_command(const std::vector<std::string>& args) {
  DashboardOptions options;
  std::string error;
  if (!parse_dashboard_options(args, options, error)) {
    std::fprintf(stderr, "tessik dashboard: %s\n%s", error.c_str(), kUsage);
    return 2;
  }
  const std::string url = dashboard_url(options.base_url);
  std::printf("dashboard: %s\n", url.c_str());
  try {
    std::printf("token: paste the contents of %s when the page asks\n",
                (a2a_directory() / "local-token").string().c_str());
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "tessik dashboard: %s\n", failure.what());
  }
  std::fflush(stdout);
  if (!options.open || !has_desktop()) return 0;
  const platform::UriOpenResult opened = platform::open_uri(url);
  if (!opened.opened) {
    std::fprintf(stderr, "tessik dashboard: could not open a browser (%s)\n", opened.error.c_str());
  }
  return 0;
}

}  // namespace tessik
