// One connection of the serving loop: request frame, caller check, answer, response frame,
// acknowledgement, and the drain events.
#pragma once

#include <stop_token>

#include "broker/broker.h"
#include "platform/local_socket.h"
#include "platform/stop_signal.h"

namespace tessik {

enum class ConnectionEnd { served, stop };

// Serves `connection` to the end and disconnects it. Returns stop when the stop signal cancelled
// the request read, the response write or the acknowledgement read. Never throws: an evidence
// append that fails is reported on stderr and the connection still counts as served.
ConnectionEnd serve_connection(platform::LocalConnection& connection,
                               const platform::StopSignal& stop_signal,
                               const BrokerOptions& options, std::stop_token stop);

}  // namespace tessik
