// A line of the push queue and a callback URL: any line either gives no record or one that
// survives being written and read again, and the positional reading of a written line agrees
// with the full one; the URL checks survive any text.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "a2a/push/push_delivery.h"
#include "a2a/push/push_url.h"
#include "base/text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tessik;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  is_push_url_allowed(text);
  is_private_or_local_address(text);
  redact_callback_url(text);
  scan_queue_line_key(text);
  const std::optional<PushDelivery> record = parse_push_queue_line(text);
  if (!record) return 0;
  const std::string written = push_queue_line(*record, "2026-01-01T00:00:00Z");
  const std::optional<PushDelivery> again = parse_push_queue_line(written);
  if (!again) __builtin_trap();
  const std::optional<QueueLineKey> key = scan_queue_line_key(written);
  if (key && (key->delivery_id != again->delivery_id || trim(key->state) != again->state))
    __builtin_trap();
  return 0;
}
