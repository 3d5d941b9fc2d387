#include "serve/connection.h"

#include <boost/asio/post.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <limits>
#include <optional>

#include "serve/request_id.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using error_code = boost::system::error_code;

namespace {

std::string error_json(const std::string& text) {
  std::string out = "{\"error\":\"";
  for (char c : text) out += c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
  return out + "\"}\n";
}

// Logged and counted for a request whose client left before its answer, as
// nginx does.
constexpr int kClientGone = 499;

bool client_left(const error_code& ec) {
  return ec == http::error::end_of_stream || ec == http::error::partial_message ||
         ec == asio::error::eof || ec == asio::error::connection_reset ||
         ec == asio::error::broken_pipe;
}

}  // namespace

// One client connection. Every handler runs on the connection's strand;
// the timer, not the socket, keeps the deadlines, so that a request past
// its deadline can still be told so (408) before the connection closes.
class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(tcp::socket socket, std::shared_ptr<HttpServer::State> server, std::string client)
      : socket_(std::move(socket)), timer_(socket_.get_executor()),
        server_(std::move(server)), client_(std::move(client)) {}

  ~Connection() {
    server_->release(reserved_);
    server_->forget(this, client_);
  }

  void start() { read_header(); }

  // Ends a connection that waits for its next request; one in a request
  // closes once it is answered.
  void drain() {
    asio::post(socket_.get_executor(), [self = shared_from_this()] {
      self->drain_ = true;
      if (self->phase_ == Phase::kIdle) self->close();
    });
  }

 private:
  enum class Phase { kIdle, kHeader, kBody, kHandling, kWriting, kClosed };

  const HttpLimits& limits() const { return server_->limits; }

  void arm(int64_t seconds) {
    timed_out_ = false;
    timer_.expires_after(std::chrono::seconds(seconds));
    timer_.async_wait([self = shared_from_this(), epoch = ++epoch_](const error_code& ec) {
      if (ec || epoch != self->epoch_) return;
      self->timed_out_ = true;
      error_code ignored;
      self->socket_.cancel(ignored);
    });
  }

  void disarm() {
    ++epoch_;
    timer_.cancel();
  }

  // A kept connection waits for its next request's first byte; the header
  // deadline starts there.
  void wait_for_request() {
    phase_ = Phase::kIdle;
    if (drain_) return close();
    if (buffer_.size() > 0) return read_header();
    arm(limits().keep_alive_seconds);
    socket_.async_wait(tcp::socket::wait_read, [self = shared_from_this()](const error_code& ec) {
      if (ec || self->timed_out_ || self->phase_ != Phase::kIdle) return self->close();
      self->read_header();
    });
  }

  void read_header() {
    phase_ = Phase::kHeader;
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(limits().max_header));
    // The body's size is judged once the header is read, with the request
    // known; the parser would refuse a large Content-Length as it reads it.
    parser_->body_limit(std::numeric_limits<std::uint64_t>::max());
    arm(limits().header_seconds);
    http::async_read_header(socket_, buffer_, *parser_,
                            [self = shared_from_this()](const error_code& ec, size_t) {
                              self->on_header(ec);
                            });
  }

  void on_header(const error_code& ec) {
    if (timed_out_) {
      return refuse(408, "the request's header did not arrive within " +
                             std::to_string(limits().header_seconds) + " s", "deadline");
    }
    if (client_left(ec) || ec == asio::error::operation_aborted) return close();
    if (ec == http::error::header_limit) {
      return refuse(431, "the request's header is larger than " +
                             std::to_string(limits().max_header) + " bytes", "header_limit");
    }
    if (ec) return refuse(400, "the request could not be read as HTTP/1.1", "bad_request");
    disarm();
    const auto& req = parser_->get();
    method_ = std::string(req.method_string());
    target_ = std::string(req.target());
    request_id_ = request_id_from(std::string(req["X-Request-Id"]));
    started_ = std::chrono::steady_clock::now();
    counted_ = true;
    server_->metrics.request_started();
    keep_alive_ = req.keep_alive();

    HttpRequest head{method_, target_, std::string(req[http::field::content_type]), request_id_,
                     ""};
    HttpAnswer early;
    const auto length = parser_->content_length();
    const bool has_body = parser_->chunked() || (length && *length > 0);
    if (server_->handler.refuse_early(head, early)) {
      // The body is never read, so the connection cannot carry another request.
      return answer(std::move(early), has_body || !keep_alive_);
    }
    if (length && *length > limits().max_body) return refuse_body_size();
    const size_t declared = length ? static_cast<size_t>(*length) : has_body ? limits().max_body : 0;
    if (!server_->reserve(declared)) {
      server_->metrics.request_refused("budget");
      HttpAnswer busy{503, error_json("the service holds as many uploads as it may; try again")};
      busy.headers.emplace_back("Retry-After", "1");
      return answer(std::move(busy), true);
    }
    reserved_ = declared;
    if (beast::iequals(req[http::field::expect], "100-continue")) {
      auto going_on = std::make_shared<http::response<http::empty_body>>(http::status::continue_, 11);
      arm(limits().write_seconds);
      return http::async_write(socket_, *going_on,
                               [self = shared_from_this(), going_on](const error_code& ec, size_t) {
                                 if (ec || self->timed_out_) return self->close();
                                 self->read_body();
                               });
    }
    read_body();
  }

  // The whole body within its deadline: a base and one second more for each
  // `min_rate` bytes declared (a chunked body: as many as --max-body).
  void read_body() {
    phase_ = Phase::kBody;
    parser_->body_limit(limits().max_body);
    body_seconds_ = limits().body_seconds + static_cast<int64_t>(reserved_) / limits().min_rate;
    arm(body_seconds_);
    http::async_read(socket_, buffer_, *parser_,
                     [self = shared_from_this()](const error_code& ec, size_t) {
                       self->on_body(ec);
                     });
  }

  void on_body(const error_code& ec) {
    if (timed_out_) {
      return refuse(408, "the request's body did not arrive within " +
                             std::to_string(body_seconds_) + " s", "deadline");
    }
    if (ec == http::error::body_limit) return refuse_body_size();
    if (client_left(ec) || ec == asio::error::operation_aborted) return close();
    if (ec) return refuse(400, "the request's body could not be read", "bad_request");
    disarm();
    dispatch();
  }

  void dispatch() {
    phase_ = Phase::kHandling;
    HttpRequest request{method_, target_, std::string(parser_->get()[http::field::content_type]),
                        request_id_, std::move(parser_->get().body())};
    parser_.reset();
    gone_ = std::make_shared<std::atomic<bool>>(false);
    watch_client();
    auto work = std::make_shared<asio::executor_work_guard<tcp::socket::executor_type>>(
        socket_.get_executor());
    Reply reply = [self = shared_from_this(), work](HttpAnswer answer) {
      asio::post(self->socket_.get_executor(), [self, answer = std::move(answer)]() mutable {
        self->on_reply(std::move(answer));
      });
    };
    server_->handler.handle(std::move(request), std::move(reply), gone_);
  }

  // While the request is handled, a client that closes its end is seen: its
  // analysis, if still queued, is then dropped.
  // A peek, not a wait for readiness: it ends only on a byte (a pipelined
  // request, left in place) or on the end of the stream.
  void watch_client() {
    socket_.async_receive(asio::buffer(&peeked_, 1), tcp::socket::message_peek,
                          [self = shared_from_this()](const error_code& ec, size_t) {
                            if (ec == asio::error::operation_aborted) return;
                            if (ec && self->phase_ == Phase::kHandling) *self->gone_ = true;
                          });
  }

  void on_reply(HttpAnswer reply) {
    if (phase_ != Phase::kHandling) return;
    error_code ignored;
    socket_.cancel(ignored);  // the watch
    if (*gone_) {
      log(kClientGone, 0);
      return close();
    }
    answer(std::move(reply), !keep_alive_);
  }

  void refuse_body_size() {
    refuse(413, "the body is larger than " + std::to_string(limits().max_body) + " bytes",
           "body_limit");
  }

  void refuse(int status, const std::string& text, const char* reason) {
    server_->metrics.request_refused(reason);
    answer(HttpAnswer{status, error_json(text)}, true);
  }

  void answer(HttpAnswer reply, bool close_after) {
    server_->release(reserved_);
    reserved_ = 0;
    close_after = close_after || drain_ || server_->draining;
    response_ = std::make_shared<http::response<http::string_body>>(
        static_cast<http::status>(reply.status), 11);
    response_->set(http::field::content_type, reply.content_type);
    if (request_id_.empty()) request_id_ = request_id_from("");
    response_->set("X-Request-Id", request_id_);
    for (const auto& [name, value] : reply.headers) response_->set(name, value);
    response_->keep_alive(!close_after);
    response_->body() = std::move(reply.body);
    response_->prepare_payload();
    log(reply.status, response_->body().size());
    phase_ = Phase::kWriting;
    arm(limits().write_seconds);
    http::async_write(socket_, *response_,
                      [self = shared_from_this(), close_after](const error_code& ec, size_t) {
                        self->disarm();
                        if (ec || self->timed_out_ || close_after) return self->close();
                        self->wait_for_request();
                      });
  }

  // The access log: one line per request, one write per line so that lines
  // of several threads never mix.
  void log(int status, size_t bytes) {
    server_->metrics.request_finished(status, counted_);
    double ms = 0;
    if (counted_) {
      ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started_)
               .count();
    }
    counted_ = false;
    const std::string path = target_.empty() ? "-" : target_.substr(0, target_.find('?'));
    char figures[64];
    std::snprintf(figures, sizeof figures, " %d %zu %.1f ", status, bytes, ms);
    std::cerr << ((method_.empty() ? "-" : method_) + " " + path + figures + request_id_ + "\n")
              << std::flush;
    method_.clear();
    target_.clear();
    request_id_.clear();
  }

  void close() {
    if (phase_ == Phase::kClosed) return;
    phase_ = Phase::kClosed;
    disarm();
    error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
  }

  tcp::socket socket_;
  asio::steady_timer timer_;
  std::shared_ptr<HttpServer::State> server_;
  const std::string client_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  std::shared_ptr<http::response<http::string_body>> response_;
  std::shared_ptr<std::atomic<bool>> gone_;
  Phase phase_ = Phase::kHeader;
  uint64_t epoch_ = 0;
  bool timed_out_ = false;
  bool drain_ = false;
  bool keep_alive_ = true;
  bool counted_ = false;
  size_t reserved_ = 0;
  int64_t body_seconds_ = 0;
  char peeked_ = 0;
  std::string method_, target_, request_id_;
  std::chrono::steady_clock::time_point started_;
};

std::shared_ptr<Connection> open_connection(tcp::socket socket,
                                            std::shared_ptr<HttpServer::State> server,
                                            std::string client) {
  auto connection =
      std::make_shared<Connection>(std::move(socket), std::move(server), std::move(client));
  connection->start();
  return connection;
}

void drain_connection(Connection& connection) { connection.drain(); }
