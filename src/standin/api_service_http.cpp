// cpp-httplib parses and writes each request, but the connections are ours: its own server
// gives every connection a pool thread for as long as the client keeps it open, so a few idle
// sockets starve everyone, and it buffers chunked bodies without any limit.
#include "standin/api_service_http.h"

#include <httplib.h>

#include <charconv>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "a2a/gateway/errors.h"
#include "base/text.h"
#include "platform/tcp_gate.h"
#include "standin/dashboard_http.h"

namespace tessik {
namespace {

constexpr std::size_t kMaxReadyConnections = 4096;
// After an early refusal the rest of a body is read and dropped, never kept, within bounds.
constexpr std::int64_t kDrainTimeoutNs = 2'000'000'000;
constexpr std::size_t kMaxDrainBytes = 4 * kApiServiceMaxBodyBytes;

// One request's view of its connection. Reads stop at the body deadline whatever the client
// trickles; `must_close` is set when the connection cannot carry another request.
class ConnectionStream : public httplib::Stream {
 public:
  ConnectionStream(platform::TcpConnection& connection, const ApiServiceHttpOptions& options)
      : connection_(connection),
        options_(options),
        deadline_ns_(monotonic_now_ns() + options.body_timeout_ns) {}

  // Before waiting for the client, what it is owed (an interim "100 Continue") goes out.
  bool is_readable() const override {
    if (!flush()) return false;
    return connection_.wait_readable(read_deadline());
  }
  bool is_writable() const override { return connection_.is_open(); }
  ssize_t read(char* ptr, size_t size) override {
    if (!flush()) return -1;
    return connection_.read_some(ptr, size, read_deadline());
  }
  // The head and a small body leave in one send: one segment for the client to wake up to.
  ssize_t write(const char* ptr, size_t size) override {
    if (pending_.size() + size <= kCoalesceBytes) {
      pending_.append(ptr, size);
      return static_cast<ssize_t>(size);
    }
    if (!flush()) return -1;
    return send(ptr, size) ? static_cast<ssize_t>(size) : -1;
  }
  bool flush() const {
    const bool sent = pending_.empty() || send(pending_.data(), pending_.size());
    pending_.clear();
    return sent;
  }
  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    ip = connection_.peer_address();
    port = connection_.peer_port();
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    ip.clear();
    port = 0;
  }
  socket_t socket() const override { return connection_.handle(); }

  bool must_close = false;

 private:
  static constexpr std::size_t kCoalesceBytes = 64 * 1024;

  std::int64_t read_deadline() const {
    return std::min(deadline_ns_, monotonic_now_ns() + options_.io_timeout_ns);
  }
  bool send(const char* data, std::size_t size) const {
    return connection_.write_all(data, size, monotonic_now_ns() + options_.io_timeout_ns);
  }

  platform::TcpConnection& connection_;
  const ApiServiceHttpOptions& options_;
  std::int64_t deadline_ns_;
  mutable std::string pending_;  // written, not yet sent
};

// The stream of the request this worker thread is answering, for the handlers.
thread_local ConnectionStream* current_stream = nullptr;

void close_after_answer() {
  if (current_stream) current_stream->must_close = true;
}

// Answers one request at a time on a stream; the routes and hooks are set up once.
class RequestAnswerer : public httplib::Server {
 public:
  // False when the connection cannot carry another request.
  bool answer(ConnectionStream& stream) {
    current_stream = &stream;
    bool closed = false;
    const bool ok = process_request(stream, false, closed, [](httplib::Request&) {});
    current_stream = nullptr;
    const bool sent = stream.flush();
    return ok && sent && !closed && !stream.must_close;
  }
};

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
  return request;
}

void to_http_response(GatewayResponse response, httplib::Response& http) {
  add_browser_headers(response);
  http.status = response.status;
  for (const auto& [name, value] : response.headers)
    http.set_header(name, value);
  // What set_content does, without copying the body.
  http.body = std::move(response.body);
  http.headers.erase("Content-Type");
  http.set_header("Content-Type", response.content_type);
}

GatewayResponse too_large() {
  return make_http_error(413, "TESSIK_API_SERVICE_PAYLOAD_TOO_LARGE",
                         "Request body exceeds the 8 MiB limit of the A2A API service.");
}

GatewayResponse unreadable() {
  return make_http_error(400, "TESSIK_API_SERVICE_REQUEST_INVALID",
                         "The A2A API service could not read the HTTP request.");
}

// Content-Length decides before a byte of the body is read: a value that is not a plain
// decimal number, or one past the limit, is refused at once.
std::optional<GatewayResponse> declared_length_refusal(const httplib::Request& http) {
  if (!http.has_header("Content-Length")) return std::nullopt;
  const std::string text = trim(http.get_header_value("Content-Length"));
  std::uint64_t length = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), length);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
    return error == std::errc::result_out_of_range ? too_large() : unreadable();
  }
  if (length > kApiServiceMaxBodyBytes) return too_large();
  return std::nullopt;
}

bool declares_body(const httplib::Request& http) {
  return http.has_header("Transfer-Encoding") ||
         (http.has_header("Content-Length") &&
          trim(http.get_header_value("Content-Length")) != "0");
}

}  // namespace

struct ApiServiceHttpServer::State {
  State(const ApiServiceSettings& settings_in, ApiServiceHttpOptions options_in)
      : settings(settings_in),
        options(options_in),
        gate(platform::TcpGateOptions{options_in.head_timeout_ns}) {}

  void route();
  void work();
  void serve(platform::TcpConnection& connection);
  bool others_waiting();

  const ApiServiceSettings settings;
  const ApiServiceHttpOptions options;
  platform::TcpGate gate;
  RequestAnswerer answerer;
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<platform::TcpConnection> ready;
  bool stopping = false;
  std::vector<std::thread> workers;
};

void ApiServiceHttpServer::State::route() {
  const auto answer_whole = [this](const httplib::Request& http, httplib::Response& out) {
    // Bodies of these methods are never read; the connection cannot be reused after them.
    if (declares_body(http)) close_after_answer();
    GatewayRequest request = to_gateway_request(http);
    if (std::optional<GatewayResponse> page = answer_dashboard_request(request)) {
      return to_http_response(std::move(*page), out);
    }
    to_http_response(forward_api_request(settings, std::move(request)), out);
  };
  const auto answer_reading = [this](const httplib::Request& http, httplib::Response& out,
                                     const httplib::ContentReader& read_body) {
    GatewayRequest request = to_gateway_request(http);
    // Only a caller who may reach the broker gets its body read at all.
    if (std::optional<GatewayResponse> refusal = api_request_refusal(settings, request)) {
      if (declares_body(http)) close_after_answer();
      return to_http_response(*refusal, out);
    }
    bool over_limit = false;
    const bool complete = read_body([&](const char* data, std::size_t size) {
      if (request.body.size() + size > kApiServiceMaxBodyBytes) {
        over_limit = true;
        return false;
      }
      request.body.append(data, size);
      return true;
    });
    if (!complete) {
      close_after_answer();
      return to_http_response(over_limit ? too_large() : unreadable(), out);
    }
    to_http_response(forward_api_request(settings, std::move(request)), out);
  };
  if (!settings.instance.empty())
    answerer.set_default_headers({{"Tessik-Api-Service-Instance", settings.instance}});
  answerer.Get(".*", answer_whole);
  answerer.Options(".*", answer_whole);
  answerer.Post(".*", answer_reading);
  answerer.Put(".*", answer_reading);
  answerer.Patch(".*", answer_reading);
  answerer.Delete(".*", answer_reading);
  answerer.set_pre_routing_handler([](const httplib::Request& http, httplib::Response& out) {
    std::optional<GatewayResponse> refusal = declared_length_refusal(http);
    if (!refusal) return httplib::Server::HandlerResponse::Unhandled;
    close_after_answer();
    to_http_response(*refusal, out);
    return httplib::Server::HandlerResponse::Handled;
  });
  // Refusals httplib makes itself (a malformed request, an unknown method) get a JSON body.
  answerer.set_error_handler(
      httplib::Server::HandlerWithResponse([](const httplib::Request&, httplib::Response& out) {
        if (!out.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
        close_after_answer();
        GatewayResponse refusal = unreadable();
        refusal.status = out.status;
        to_http_response(refusal, out);
        return httplib::Server::HandlerResponse::Handled;
      }));
}

void ApiServiceHttpServer::State::work() {
  while (true) {
    platform::TcpConnection connection;
    {
      std::unique_lock lock(mutex);
      wake.wait(lock, [&] { return stopping || !ready.empty(); });
      if (stopping) return;
      connection = std::move(ready.front());
      ready.pop_front();
    }
    serve(connection);
  }
}

// Answers requests on one connection while they follow each other closely; hands the
// connection back to the gate when it goes quiet or others wait for a worker.
void ApiServiceHttpServer::State::serve(platform::TcpConnection& connection) {
  while (true) {
    ConnectionStream stream(connection, options);
    if (!answerer.answer(stream)) {
      if (stream.must_close)
        connection.close_after_draining(monotonic_now_ns() + kDrainTimeoutNs, kMaxDrainBytes);
      return;
    }
    if (others_waiting() ||
        !connection.await_head(monotonic_now_ns() + options.next_request_wait_ns,
                               platform::TcpGateOptions{}.max_head_bytes)) {
      gate.resume(std::move(connection));
      return;
    }
  }
}

bool ApiServiceHttpServer::State::others_waiting() {
  std::lock_guard lock(mutex);
  return stopping || !ready.empty();
}

ApiServiceHttpServer::ApiServiceHttpServer(const ApiServiceSettings& settings,
                                           ApiServiceHttpOptions options)
    : state_(std::make_unique<State>(settings, options)) {
  state_->route();
}

ApiServiceHttpServer::~ApiServiceHttpServer() {
  stop();
  for (std::thread& worker : state_->workers) {
    if (worker.joinable()) worker.join();
  }
}

bool ApiServiceHttpServer::listen(const std::string& host, std::uint16_t port, std::string* error) {
  return state_->gate.listen(host, port, error);
}

std::uint16_t ApiServiceHttpServer::port() const {
  return state_->gate.port();
}

void ApiServiceHttpServer::run() {
  for (std::size_t i = 0; i < state_->options.workers; ++i)
    state_->workers.emplace_back([this] { state_->work(); });
  state_->gate.run([this](platform::TcpConnection connection) {
    {
      std::lock_guard lock(state_->mutex);
      // Every worker busy and this many heads queued: the newest is turned away.
      if (state_->ready.size() >= kMaxReadyConnections) return;
      state_->ready.push_back(std::move(connection));
    }
    state_->wake.notify_one();
  });
}

void ApiServiceHttpServer::stop() {
  state_->gate.stop();
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
  }
  state_->wake.notify_all();
}

}  // namespace tessik
