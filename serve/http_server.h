// faceprobe-serve's HTTP/1.1 layer on Boost.Beast: a few I/O threads hold
// every connection, each request under deadlines that a trickling client
// cannot stretch, within limits of size, connections and memory. What a
// request gets is decided elsewhere (a RequestHandler).
#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "serve/metrics.h"

struct HttpLimits {
  int header_seconds = 10;     // from a request's first byte to its header's end
  int body_seconds = 10;       // the body's deadline, before...
  int64_t min_rate = 65536;    // ...one more second per this many bytes declared
  int keep_alive_seconds = 5;  // a kept connection's wait for its next request
  int write_seconds = 30;      // an answer's whole write
  size_t max_header = 16384;
  size_t max_body = 32 << 20;
  size_t max_buffered = size_t{512} << 20;  // bodies being read or analysed, all together
  int max_connections = 4096;
  int max_per_client = 0;  // 0: no limit
};

// A request with its whole body, and the answer to it.
struct HttpRequest {
  std::string method;
  std::string target;
  std::string content_type;
  std::string request_id;
  std::string body;
};

struct HttpAnswer {
  HttpAnswer() = default;
  HttpAnswer(int status, std::string body, std::string content_type = "application/json")
      : status(status), body(std::move(body)), content_type(std::move(content_type)) {}

  int status = 200;
  std::string body;
  std::string content_type = "application/json";
  std::vector<std::pair<std::string, std::string>> headers;
};

// Sends an answer; callable from any thread, once.
using Reply = std::function<void(HttpAnswer)>;

struct RequestHandler {
  // From the header alone: an answer that ends the request before its body
  // is read (a wrong method or path), or nothing to read the body.
  std::function<bool(const HttpRequest& head, HttpAnswer& answer)> refuse_early;
  // The whole request. `gone` turns true if the client leaves before the
  // answer is sent.
  std::function<void(HttpRequest request, Reply reply,
                      std::shared_ptr<const std::atomic<bool>> gone)>
      handle;
};

class HttpServer {
 public:
  HttpServer(boost::asio::io_context& io, HttpLimits limits, RequestHandler handler,
             Metrics& metrics);
  ~HttpServer();
  // Binds and listens; false with a message when it cannot. `port` receives
  // the port bound (for port 0).
  bool listen(const std::string& host, int port, int& bound, std::string& error);
  // Stops accepting; idle connections close, requests already being read or
  // analysed are answered, then their connections close.
  void drain();
  bool draining() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};
