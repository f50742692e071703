// The dashboard's static files (HTML, CSS, JavaScript), compiled into the executable from
// src/standin/dashboard at build time.
#pragma once

#include <string_view>
#include <vector>

namespace tessik {

struct EmbeddedFile {
  std::string_view name;   // the file name, e.g. "index.html"
  std::string_view bytes;  // the file's contents; static storage
};

// Every file, sorted by name. Immutable; safe from any thread.
const std::vector<EmbeddedFile>& dashboard_files();

}  // namespace tessik
