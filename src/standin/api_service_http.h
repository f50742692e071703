// The stand-in's HTTP server: a TCP gate holds connections until their request head is
// complete, a pool of workers answers requests with cpp-httplib's parser and writer, and
// bodies are read through a counting receiver, so no connection holds a worker while it idles
// (beyond a short wait for a next request) and none makes the process hold more than the body
// limit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "app/api_service.h"

namespace tessik {

struct ApiServiceHttpOptions {
  std::size_t workers = 16;
  std::int64_t head_timeout_ns = 5'000'000'000;   // arrival (or last answer) to a whole head
  std::int64_t body_timeout_ns = 30'000'000'000;  // a whole body, once its head is read
  std::int64_t io_timeout_ns = 5'000'000'000;     // any single read or write
  // After an answer, while no other connection waits for a worker, the worker waits this long
  // on its connection for the next request before handing it back to the gate: a client
  // that sends request after request is answered without two thread hand-offs each time.
  std::int64_t next_request_wait_ns = 2'000'000;
};

class ApiServiceHttpServer {
 public:
  explicit ApiServiceHttpServer(const ApiServiceSettings& settings,
                                ApiServiceHttpOptions options = {});
  ~ApiServiceHttpServer();
  ApiServiceHttpServer(const ApiServiceHttpServer&) = delete;
  ApiServiceHttpServer& operator=(const ApiServiceHttpServer&) = delete;

  // Binds the address (port 0 picks one). False with a message in `error`.
  bool listen(const std::string& host, std::uint16_t port, std::string* error);
  std::uint16_t port() const;
  // Serves on the calling thread until stop().
  void run();
  // Thread-safe.
  void stop();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace tessik
