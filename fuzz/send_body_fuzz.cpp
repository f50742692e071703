// The HTTP+JSON SendMessage body: its validation and the fields read from it, which run on
// every accepted send before anything is stored, including its push configuration.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "a2a/intake/send_validation.h"
#include "a2a/push/push_config.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tessik;
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  if (!validate_send_params(body)) {
    const SendIntake intake = extract_send_intake(body);
    if (const std::optional<PushConfig> config =
            push_config_from_send(intake.configuration_json, "task", Principal{})) {
      validate_push_config(*config);
    }
  }
  return 0;
}
