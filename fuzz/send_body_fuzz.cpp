// The HTTP+JSON SendMessage body: its validation and the fields read from it, which run on
// every accepted send before anything is stored.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "a2a/intake/send_validation.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tessik;
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  if (!validate_send_params(body)) {
    const SendIntake intake = extract_send_intake(body);
    send_has_push_config(intake.configuration_json);
  }
  return 0;
}
