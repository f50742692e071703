// JSON and card responses.
#include "a2a/gateway/responses.h"

#include <mutex>

#include "a2a/gateway/request_fields.h"
#include "base/sha256.h"
#include "base/text.h"

namespace tessik {

GatewayResponse make_json_response(int status, std::string body) {
  GatewayResponse response;
  response.status = status;
  response.content_type = "application/a2a+json";
  response.body = std::move(body);
  return response;
}

std::string card_etag(std::string_view body) {
  // The same card is tagged on every request for it: the last digest is kept.
  static std::mutex mutex;
  static std::string last_body;
  static std::string last_etag;
  std::lock_guard lock(mutex);
  if (last_etag.empty() || body != last_body) {
    last_etag = "\"" + sha256_hex(body) + "\"";
    last_body = body;
  }
  return last_etag;
}

GatewayResponse make_card_response(const GatewayRequest& request, std::string body,
                                   bool public_cache) {
  GatewayResponse response;
  response.status = 200;
  response.content_type = "application/json";
  if (!public_cache) {
    response.headers["Cache-Control"] = "private, no-store";
    response.body = std::move(body);
    return response;
  }
  const std::string etag = card_etag(body);
  response.headers["Cache-Control"] = "public, max-age=300";
  response.headers["ETag"] = etag;
  const std::string if_none_match = trim(header_value(request, "if-none-match"));
  if (if_none_match == etag || if_none_match == "*") {
    response.status = 304;
  } else {
    response.body = std::move(body);
  }
  return response;
}

}  // namespace tessik
