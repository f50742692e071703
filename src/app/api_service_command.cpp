// HTTP front of the API-service stand-in on cpp-httplib; the request path itself lives in
// api_service.cpp so that it can be tested without sockets.
#include "app/api_service_command.h"

#include <httplib.h>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <thread>

#include "a2a/gateway/errors.h"
#include "app/api_service.h"
#include "base/random.h"
#include "platform/session_id.h"
#include "platform/stop_signal.h"
#include "platform/tcp_listener.h"
#include "state/state_dir.h"
#include "wire/frames.h"

namespace tessik {
namespace {

constexpr const char* kUsage =
    "usage: tessik api-service [--listen HOST:PORT] [--session ID]\n"
    "  --listen   address to serve HTTP on (default 127.0.0.1:37661)\n"
    "  --session  session whose broker receives the requests (default: this session)\n";

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

// httplib adds the peer and local addresses as pseudo-headers; they were never sent.
bool is_pseudo_header(const std::string& name) {
  return name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
         name == "LOCAL_PORT";
}

GatewayRequest to_gateway_request(const httplib::Request& http) {
  GatewayRequest request;
  request.method = http.method;
  request.target = http.target;
  for (const auto& [name, value] : http.headers) {
    if (is_pseudo_header(name)) continue;
    auto [it, inserted] = request.headers.emplace(name, value);
    if (!inserted) it->second += ", " + value;  // repeated headers fold into one list
  }
  request.body = http.body;
  return request;
}

// Names this process in every answer, so a launcher can tell that the process answering on the
// port is the one it started.
constexpr char kInstanceHeader[] = "Tessik-Api-Service-Instance";

void to_http_response(const GatewayResponse& response, httplib::Response& http) {
  http.status = response.status;
  for (const auto& [name, value] : response.headers)
    http.set_header(name, value);
  http.set_content(response.body, response.content_type);
}

void serve(httplib::Server& server, const ApiServiceSettings& settings,
           const std::string& instance) {
  const auto handler = [&settings](const httplib::Request& http, httplib::Response& out) {
    to_http_response(forward_api_request(settings, to_gateway_request(http)), out);
  };
  server.set_default_headers({{kInstanceHeader, instance}});
  // The library's default lets a second process bind the same port and take a share of the
  // connections; the port must be ours alone.
  server.set_socket_options([](socket_t socket) {
    platform::make_listener_exclusive(static_cast<std::intptr_t>(socket));
  });
  server.Get(".*", handler);
  server.Post(".*", handler);
  server.Put(".*", handler);
  server.Patch(".*", handler);
  server.Delete(".*", handler);
  server.Options(".*", handler);
  // Refusals httplib makes itself (oversized body, malformed request) get a JSON body too.
  server.set_error_handler(
      httplib::Server::HandlerWithResponse([](const httplib::Request&, httplib::Response& out) {
        if (!out.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
        const std::string message =
            out.status == 413 ? "Request body exceeds the 8 MiB limit of the A2A API service."
                              : "The A2A API service could not read the HTTP request.";
        to_http_response(make_http_error(out.status,
                                         out.status == 413 ? "TESSIK_API_SERVICE_PAYLOAD_TOO_LARGE"
                                                           : "TESSIK_API_SERVICE_REQUEST_INVALID",
                                         message),
                         out);
        return httplib::Server::HandlerResponse::Handled;
      }));
  server.set_payload_max_length(kApiServiceMaxBodyBytes);
  // Headers and body leave in separate writes; without this, Nagle's algorithm and delayed
  // acknowledgements hold each kept-alive response back by tens of milliseconds.
  server.set_tcp_nodelay(true);
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
    } else if ((arg == "--listen" || arg == "--session") && i + 1 < args.size()) {
      value = args[++i];
    } else {
      error = "unexpected argument '" + std::string(arg) + "'";
      return false;
    }
    std::uint32_t session = 0;
    if (name == "--listen" && parse_listen(value, options)) continue;
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
  ApiServiceOptions options;
  std::string error;
  if (!parse_api_service_options(args, options, error)) {
    std::fprintf(stderr, "tessik api-service: %s\n%s", error.c_str(), kUsage);
    return 2;
  }
  const std::optional<std::uint32_t> session =
      options.session_id ? options.session_id : platform::current_session_id();
  if (!session) {
    std::fprintf(stderr, "tessik api-service: the session id of this process is unknown\n");
    return 1;
  }
  ApiServiceSettings settings;
  settings.base_url = "http://" + options.host + ":" + std::to_string(options.port);
  try {
    settings.broker_socket = broker_socket_path(*session);
    bool created = false;
    const std::filesystem::path token_path = a2a_directory() / "local-token";
    settings.local_token = ensure_local_token(token_path, created);
    std::printf("local token file: %s\n", token_path.string().c_str());
    // A fresh token is shown once; afterwards it is only in the owner-only file.
    if (created) std::printf("local token (new): %s\n", settings.local_token.c_str());
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "tessik api-service: %s\n", failure.what());
    return 1;
  }

  platform::StopSignal stop;
  if (!stop.open({}, true, &error)) {
    std::fprintf(stderr, "tessik api-service: %s\n", error.c_str());
    return 1;
  }
  httplib::Server server;
  const std::string instance = random_hex_token();
  serve(server, settings, instance);
  if (!server.bind_to_port(options.host.c_str(), options.port)) {
    std::string reason = platform::tcp_bind_failure(options.host, options.port);
    if (reason.empty()) reason = "the address could not be bound";
    std::fprintf(stderr, "tessik api-service: cannot listen on %s:%u: %s\n", options.host.c_str(),
                 static_cast<unsigned>(options.port), reason.c_str());
    return 1;
  }
  std::printf("A2A endpoint: %s/a2a (broker socket %s)\n", settings.base_url.c_str(),
              settings.broker_socket.string().c_str());
  std::printf("instance: %s\n", instance.c_str());
  std::fflush(stdout);
  std::thread watcher([&] {
    while (!stop.stop_requested())
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    server.stop();
  });
  server.listen_after_bind();
  stop.request_stop();  // also ends the watcher when listening failed on its own
  watcher.join();
  return 0;
}

}  // namespace tessik
