// Successful gateway responses: plain JSON answers and Agent Card answers with caching.
#pragma once

#include <string>
#include <string_view>

#include "wire/envelope.h"

namespace tessik {

// `status` with `body` as "application/a2a+json".
GatewayResponse make_json_response(int status, std::string body);

// A card: 200, "application/json". Public cards carry "Cache-Control: public, max-age=300"
// and an ETag of the body's SHA-256 in double quotes; a matching (or "*") If-None-Match
// turns the answer into 304 with an empty body and the same headers. Private cards carry
// "Cache-Control: private, no-store" and no ETag.
GatewayResponse make_card_response(const GatewayRequest& request, std::string body,
                                   bool public_cache);

// The quoted ETag of a card body.
std::string card_etag(std::string_view body);

}  // namespace tessik
