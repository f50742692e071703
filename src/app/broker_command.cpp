// Option parsing of the `broker` mode.
#include "app/broker_command.h"

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "broker/broker.h"

namespace tessik {
namespace {

constexpr std::string_view kReadTimeoutOption = "--request-read-timeout-ms=";
constexpr std::int64_t kMaxReadTimeoutMs = 3'600'000;

bool parse_read_timeout(std::string_view text, BrokerOptions& options) {
  std::int64_t ms = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), ms);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || ms < 1 ||
      ms > kMaxReadTimeoutMs) {
    return false;
  }
  options.request_read_timeout_ns = ms * 1'000'000;
  return true;
}

}  // namespace

int run_broker_command(const std::vector<std::string>& args) {
  BrokerOptions options;
  for (const std::string& arg : args) {
    const std::string_view text(arg);
    if (text.starts_with(kReadTimeoutOption) &&
        parse_read_timeout(text.substr(kReadTimeoutOption.size()), options)) {
      continue;
    }
    std::fprintf(stderr,
                 "tessik broker: unexpected argument '%s'\n"
                 "usage: tessik broker [--request-read-timeout-ms=1..3600000]\n",
                 arg.c_str());
    return 2;
  }
  return run_user_broker({}, options);
}

}  // namespace tessik
