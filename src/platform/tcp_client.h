// A plain TCP exchange for local probes: connect, send a request, read the start of the answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tessik::platform {

struct TcpExchangeResult {
  bool connected = false;  // false: nothing accepted the connection (see `error`)
  std::string received;    // what arrived before the peer closed, the limit or the deadline
  std::string error;       // empty when `request` was sent and something was received
};

// Connects to `host`:`port` (a name or an address), sends `request` and reads until the peer
// closes, `max_bytes` arrived, `enough` appears in what arrived, or the deadline passes.
// `connect_timeout_ns` bounds the connection alone, `timeout_ns` the whole exchange. Never
// throws; safe from any thread.
TcpExchangeResult tcp_exchange(const std::string& host, std::uint16_t port,
                               const std::string& request, const std::string& enough,
                               std::size_t max_bytes, std::int64_t connect_timeout_ns,
                               std::int64_t timeout_ns);

}  // namespace tessik::platform
