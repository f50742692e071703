// How the broker answers one request frame: the three refusals, the gateway hand-off with its
// per-request context, and the answer to a request whose handling threw.
#pragma once

#include <stop_token>
#include <string_view>

#include "a2a/gateway/gateway_context.h"
#include "wire/envelope.h"

namespace tessik {

// 400 TESSIK_USER_BROKER_FRAME_INVALID "Invalid broker request frame."
GatewayResponse frame_invalid_response();
// 403 TESSIK_USER_BROKER_CALLER_REJECTED.
GatewayResponse caller_rejected_response();
// 400 TESSIK_USER_BROKER_REQUEST_INVALID with the envelope parser's message.
GatewayResponse request_invalid_response(std::string_view message);
// 500 TESSIK_A2A_INTERNAL_ERROR naming what went wrong.
GatewayResponse internal_error_response(std::string_view detail);

// The gateway context of one valid envelope: defaults, then the envelope's endpoint URL and
// principal, authentication required, the broker's principal trusted, and the a2a file paths
// under the state directory, which is resolved afresh. Throws StateDirectoryError.
GatewayContext make_gateway_context(const UserBrokerEnvelope& envelope);

// The response to one request frame: FRAME_INVALID when the frame was not read, CALLER_REJECTED
// when the caller is not the service (the payload is then never parsed), REQUEST_INVALID for an
// invalid envelope, else the gateway handler's answer. Never throws: an exception from the
// gateway, the evidence log or the state directory becomes internal_error_response and a line
// on stderr.
GatewayResponse answer_request(bool frame_read, bool caller_accepted, std::string_view payload,
                               std::stop_token stop);

}  // namespace tessik
