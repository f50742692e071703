// The stand-in program: options, the token, and the HTTP server's lifetime. The server is in
// api_service_http.cpp, the request path in api_service.cpp.
#include "standin/api_service_command.h"

#include <charconv>
#include <chrono>
#include <cstdio>
#include <thread>

#include "app/api_service.h"
#include "base/random.h"
#include "platform/session_id.h"
#include "platform/stop_signal.h"
#include "standin/api_service_http.h"
#include "state/state_dir.h"
#include "wire/frames.h"

namespace tessik {
namespace {

constexpr const char* kUsage =
    "usage: tessik-api-service [--listen HOST:PORT] [--session ID] [--broker-uid UID]\n"
    "  --listen      address to serve HTTP on (default 127.0.0.1:37661)\n"
    "  --session     session whose broker receives the requests (default: this session)\n"
    "  --broker-uid  user the broker must run as (default: this user)\n";

template <typename Number>
bool parse_number(std::string_view text, Number& out) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
  return !text.empty() && error == std::errc() && end == text.data() + text.size();
}

bool parse_listen(std::string_view text, ApiServiceOptions& options) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos || colon == 0) return false;
  std::uint16_t port = 0;
  if (!parse_number(text.substr(colon + 1), port)) return false;
  options.host = std::string(text.substr(0, colon));
  options.port = port;
  return true;
}

}  // namespace

bool parse_api_service_options(const std::vector<std::string>& args, ApiServiceOptions& options,
                               std::string& error) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view arg = args[i];
    std::string_view value;
    std::string_view name = arg;
    if (const std::size_t eq = arg.find('='); arg.starts_with("--") && eq != std::string::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
    } else if ((arg == "--listen" || arg == "--session" || arg == "--broker-uid") &&
               i + 1 < args.size()) {
      value = args[++i];
    } else {
      error = "unexpected argument '" + std::string(arg) + "'";
      return false;
    }
    std::uint32_t session = 0;
    std::uint32_t uid = 0;
    if (name == "--listen" && parse_listen(value, options)) continue;
    if (name == "--broker-uid" && parse_number(value, uid)) {
      options.broker_uid = uid;
      continue;
    }
    if (name == "--session" && parse_number(value, session) && session != 0) {
      options.session_id = session;
      continue;
    }
    error = "invalid value for " + std::string(name) + ": '" + std::string(value) + "'";
    return false;
  }
  return true;
}

int run_api_service_command(const std::vector<std::string>& args) {
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  ApiServiceOptions options;
  std::string error;
  if (!parse_api_service_options(args, options, error)) {
    std::fprintf(stderr, "tessik-api-service: %s\n%s", error.c_str(), kUsage);
    return 2;
  }
  const std::optional<std::uint32_t> session =
      options.session_id ? options.session_id : platform::current_session_id();
  if (!session) {
    std::fprintf(stderr, "tessik-api-service: the session id of this process is unknown\n");
    return 1;
  }
  ApiServiceSettings settings;
  settings.base_url = "http://" + options.host + ":" + std::to_string(options.port);
  settings.broker_uid = options.broker_uid.value_or(platform::current_user_id());
  try {
    settings.broker_socket = broker_socket_path(*session);
    bool created = false;
    const std::filesystem::path token_path = a2a_directory() / "local-token";
    settings.local_token = ensure_local_token(token_path, created);
    std::printf("local token file: %s\n", token_path.string().c_str());
    // A fresh token is shown once; afterwards it is only in the owner-only file.
    if (created) std::printf("local token (new): %s\n", settings.local_token.c_str());
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "tessik-api-service: %s\n", failure.what());
    return 1;
  }

  platform::StopSignal stop;
  if (!stop.open({}, true, &error)) {
    std::fprintf(stderr, "tessik-api-service: %s\n", error.c_str());
    return 1;
  }
  settings.instance = random_hex_token();
  ApiServiceHttpServer server(settings);
  if (!server.listen(options.host, options.port, &error)) {
    std::fprintf(stderr, "tessik-api-service: cannot listen on %s:%u: %s\n", options.host.c_str(),
                 static_cast<unsigned>(options.port), error.c_str());
    return 1;
  }
  std::printf("A2A endpoint: %s/a2a (broker socket %s)\n", settings.base_url.c_str(),
              settings.broker_socket.string().c_str());
  std::printf("instance: %s\n", settings.instance.c_str());
  std::fflush(stdout);
  std::thread watcher([&] {
    while (!stop.stop_requested())
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    server.stop();
  });
  server.run();
  stop.request_stop();  // also ends the watcher when listening failed on its own
  watcher.join();
  return 0;
}

}  // namespace tessik
