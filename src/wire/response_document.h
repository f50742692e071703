// A fast reader for the broker's response document in the exact layout the broker writes, so
// that the common answer is read without building a JSON tree.
#pragma once

#include <optional>
#include <string_view>

#include "wire/envelope.h"

namespace tessik {

// Reads a document laid out exactly as serialize_gateway_response writes it (members in that
// order, no white space, "version":1 last). nullopt for any other layout, for text that is
// not UTF-8 and for malformed escapes: the caller then falls back to a general JSON reader,
// so nullopt says "not this layout", not "invalid". Pure; thread-safe.
std::optional<GatewayResponse> read_serialized_gateway_response(std::string_view payload);

}  // namespace tessik
