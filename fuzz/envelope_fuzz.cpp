// The broker's request envelope and acknowledgement parsers, on the payload of a frame and on
// the raw bytes: whatever arrives, a result and never a crash. The fast reader of response
// documents must agree with the JSON library on everything it accepts.
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string_view>

#include "wire/envelope.h"
#include "wire/response_document.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tessik;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  // A frame: a 4-byte little-endian length, then the payload.
  if (size >= 4) {
    const std::uint32_t length = data[0] | data[1] << 8 | data[2] << 16 |
                                 static_cast<std::uint32_t>(data[3]) << 24;
    if (length >= 1 && length <= size - 4) {
      const UserBrokerEnvelope envelope = parse_user_broker_envelope(bytes.substr(4, length));
      if (envelope.valid && envelope.error.size() > 0) __builtin_trap();
    }
  }
  const UserBrokerEnvelope envelope = parse_user_broker_envelope(bytes);
  if (!envelope.valid && envelope.error.empty()) __builtin_trap();
  if (const std::optional<GatewayResponse> fast = read_serialized_gateway_response(bytes)) {
    const nlohmann::json document = nlohmann::json::parse(bytes, nullptr, false);
    if (!document.is_object() || document.at("body") != fast->body ||
        document.at("contentType") != fast->content_type || document.at("status") != fast->status ||
        document.at("headers") != nlohmann::json(fast->headers)) {
      __builtin_trap();
    }
  }
  std::string reason;
  if (!is_response_acknowledgement(bytes, &reason) && reason.empty()) __builtin_trap();
  return 0;
}
