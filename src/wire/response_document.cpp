// Reads the response document member by member with the cursor of the fast paths.
#include "wire/response_document.h"

#include "wire/json_cursor.h"

namespace tessik {

std::optional<GatewayResponse> read_serialized_gateway_response(std::string_view payload) {
  JsonCursor cursor(payload);
  GatewayResponse response;
  response.content_type.clear();
  if (!cursor.literal("{\"body\":") || !cursor.string(response.body) ||
      !cursor.literal(",\"contentType\":") || !cursor.string(response.content_type) ||
      !cursor.literal(",\"headers\":") || !cursor.string_map(response.headers) ||
      !cursor.literal(",\"status\":") || !cursor.integer(response.status) ||
      !cursor.literal(",\"version\":1}") || !cursor.at_end()) {
    return std::nullopt;
  }
  return response;
}

}  // namespace tessik
