// The "dashboard" command mode: says where the dashboard is and opens it in the desktop's
// browser when there is a desktop.
#pragma once

#include <string>
#include <vector>

namespace tessik {

struct DashboardOptions {
  std::string base_url = "http://127.0.0.1:37661";  // the stand-in's address
  bool open = true;                                 // hand the URL to the desktop opener
};

// Parses [--url BASE] [--no-open]. False with a message in `error`.
bool parse_dashboard_options(const std::vector<std::string>& args, DashboardOptions& options,
                             std::string& error);

// The page address for a stand-in base URL ("http://h:p" or with a trailing "/").
std::string dashboard_url(const std::string& base_url);

// Prints the URL and where the token is, then opens the URL when a desktop session is set
// (DISPLAY or WAYLAND_DISPLAY). The token itself is never printed nor put into the URL.
// 0 on success (an opener that fails is reported, not fatal), 2 for bad arguments.
int run_dashboard_command(const std::vector<std::string>& args);

}  // namespace tessik
