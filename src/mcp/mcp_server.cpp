// The stdio loop of the MCP server and its readiness marker. The marker is published by
// atomic replace, so the adapter waiting for it never reads half a file.
#include "mcp/mcp_server.h"

#include <algorithm>
#include <exception>
#include <istream>
#include <nlohmann/json.hpp>
#include <ostream>

#include "base/text.h"
#include "registry/lock_publish.h"

namespace tessik {
namespace {

constexpr std::size_t kReadChunk = 64 * 1024;

}  // namespace

BoundedLineReader::BoundedLineReader(std::istream& in, std::size_t max_bytes)
    : in_(in), max_bytes_(max_bytes) {}

bool BoundedLineReader::fill() {
  if (at_end_) return false;
  std::streambuf* buffer = in_.rdbuf();
  // What is buffered already, else one character: that makes the buffer read what the peer
  // has sent so far instead of waiting for a whole chunk.
  const std::streamsize available = buffer->in_avail();
  if (available > 0) {
    const std::size_t before = pending_.size();
    const std::size_t wanted = std::min<std::size_t>(static_cast<std::size_t>(available),
                                                     kReadChunk);
    pending_.resize(before + wanted);
    const std::streamsize got = buffer->sgetn(pending_.data() + before,
                                              static_cast<std::streamsize>(wanted));
    pending_.resize(before + static_cast<std::size_t>(std::max<std::streamsize>(got, 0)));
    return true;
  }
  const int c = buffer->sbumpc();
  if (c == std::char_traits<char>::eof()) {
    at_end_ = true;
    return false;
  }
  pending_.push_back(static_cast<char>(c));
  return true;
}

BoundedLineReader::Status BoundedLineReader::next(std::string& line) {
  bool oversized = false;
  while (true) {
    const std::size_t newline = pending_.find('\n', scanned_);
    if (newline != std::string::npos) {
      if (oversized || newline > max_bytes_) {
        pending_.erase(0, newline + 1);
        scanned_ = 0;
        return Status::oversized;
      }
      line.assign(pending_, 0, newline);
      pending_.erase(0, newline + 1);
      scanned_ = 0;
      return Status::line;
    }
    scanned_ = pending_.size();
    if (scanned_ > max_bytes_) {  // drop what is read of a line that is too long already
      oversized = true;
      pending_.clear();
      scanned_ = 0;
    }
    if (!fill()) {
      if (oversized) return Status::oversized;
      if (pending_.empty()) return Status::end;
      line = std::move(pending_);
      pending_.clear();
      scanned_ = 0;
      return Status::line;
    }
  }
}

std::string mcp_readiness_marker(const McpServerOptions& options,
                                 const std::string& protocol_version) {
  const nlohmann::json marker = {{"state", "tools_list_ready"},
                                 {"provider", options.provider},
                                 {"provider_session_id", options.provider_session_id},
                                 {"host", options.host},
                                 {"sender_name", options.sender_name},
                                 {"protocol_version", protocol_version},
                                 {"ready_at", utc_timestamp_now()}};
  return marker.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

int serve_mcp(McpToolHandler& tools, const McpServerOptions& options, std::istream& in,
              std::ostream& out, std::ostream& diagnostics) {
  McpSession session(tools);
  BoundedLineReader reader(in, kMaxMcpLineBytes);
  bool marker_written = false;
  std::string line;
  while (true) {
    const BoundedLineReader::Status status = reader.next(line);
    if (status == BoundedLineReader::Status::end) return 0;
    const std::optional<std::string> answer = status == BoundedLineReader::Status::oversized
                                                  ? McpSession::oversized_line_response()
                                                  : session.handle_line(line);
    if (answer) {
      out << *answer << '\n';
      out.flush();
      if (!out) {  // the client stopped reading: nobody is left to serve
        diagnostics << "tessik mcp-server: could not write an answer to the client\n";
        return 1;
      }
    }
    if (session.tools_listed() && !marker_written) {
      marker_written = true;
      if (options.ready_file.empty()) continue;
      try {
        publish_file_atomically(options.ready_file,
                                mcp_readiness_marker(options, session.protocol_version()),
                                "MCP readiness marker");
      } catch (const std::exception& failure) {
        diagnostics << "tessik mcp-server: " << failure.what() << '\n';
      }
    }
  }
}

}  // namespace tessik
