// The MCP server's stdio loop: newline-delimited JSON-RPC in, one line per answer out, and
// the readiness marker once the client has listed the tools.
#pragma once

#include <cstddef>
#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>

#include "mcp/mcp_options.h"
#include "mcp/mcp_protocol.h"

namespace tessik {

// Reads lines of at most `max_bytes` from a stream buffer without ever holding more than that.
// A longer line is skipped to its end and reported as oversized. Reads what is available
// rather than waiting for a full buffer, so an interactive peer is answered line by line.
class BoundedLineReader {
 public:
  enum class Status { line, oversized, end };

  BoundedLineReader(std::istream& in, std::size_t max_bytes);
  // The next line without its line feed in `line` (status line); a last line without a line
  // feed counts as a line.
  Status next(std::string& line);

 private:
  bool fill();

  std::istream& in_;
  std::size_t max_bytes_;
  std::string pending_;  // read but not yet handed out
  std::size_t scanned_ = 0;
  bool at_end_ = false;
};

// The readiness marker's JSON text: "state" "tools_list_ready", the provider, its session id,
// the host, the sender name, the agreed protocol revision and the time it was written.
std::string mcp_readiness_marker(const McpServerOptions& options,
                                 const std::string& protocol_version);

// Serves `tools` until `in` ends, answering on `out` (flushed after every line). After the
// first answered tools/list, writes the readiness marker atomically to options.ready_file
// when that is set; a marker that cannot be written is reported on `diagnostics` and the
// server goes on. Returns 0 at the end of input, 1 when an answer cannot be written.
int serve_mcp(McpToolHandler& tools, const McpServerOptions& options, std::istream& in,
              std::ostream& out, std::ostream& diagnostics);

}  // namespace tessik
