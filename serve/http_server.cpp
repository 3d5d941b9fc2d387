#include "serve/http_server.h"

#include <boost/asio/post.hpp>
#include <vector>

#include "serve/connection.h"
#include "serve/server_state.h"

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using error_code = boost::system::error_code;

void HttpServer::State::accept() {
  acceptor.async_accept(asio::make_strand(io),
                        [self = shared_from_this()](const error_code& ec, tcp::socket socket) {
                          self->on_accept(ec, std::move(socket));
                        });
}

void HttpServer::State::on_accept(const error_code& ec, tcp::socket socket) {
  if (!acceptor.is_open() || ec == asio::error::operation_aborted) return;
  if (ec) {
    // Out of descriptors or memory: try again a moment later, never in a loop.
    metrics.accept_failed();
    accept_pause.expires_after(std::chrono::milliseconds(100));
    accept_pause.async_wait([self = shared_from_this()](const error_code& wait) {
      if (!wait && self->acceptor.is_open()) self->accept();
    });
    return;
  }
  error_code ignored;
  const std::string client = socket.remote_endpoint(ignored).address().to_string();
  const char* refused = nullptr;
  {
    std::lock_guard<std::mutex> hold(lock);
    if (static_cast<int>(connections.size()) >= limits.max_connections) {
      refused = "limit";
    } else if (limits.max_per_client > 0 && per_client[client] >= limits.max_per_client) {
      refused = "client_limit";
    } else {
      ++per_client[client];
    }
  }
  if (refused) {
    metrics.connection_refused(refused);
    socket.close(ignored);
  } else {
    socket.set_option(tcp::no_delay(true), ignored);
    // A drain runs on this strand too, so it finds every connection opened.
    auto connection = open_connection(std::move(socket), shared_from_this(), client);
    std::lock_guard<std::mutex> hold(lock);
    connections[connection.get()] = connection;
    metrics.set_open_connections(static_cast<int>(connections.size()));
  }
  accept();
}

void HttpServer::State::forget(Connection* connection, const std::string& client) {
  std::lock_guard<std::mutex> hold(lock);
  connections.erase(connection);
  if (--per_client[client] <= 0) per_client.erase(client);
  metrics.set_open_connections(static_cast<int>(connections.size()));
}

bool HttpServer::State::reserve(size_t bytes) {
  std::lock_guard<std::mutex> hold(lock);
  if (buffered + bytes > limits.max_buffered) return false;
  buffered += bytes;
  return true;
}

void HttpServer::State::release(size_t bytes) {
  if (bytes == 0) return;
  std::lock_guard<std::mutex> hold(lock);
  buffered -= bytes;
}

HttpServer::HttpServer(asio::io_context& io, HttpLimits limits, RequestHandler handler,
                       Metrics& metrics)
    : state_(std::make_shared<State>(io, limits, std::move(handler), metrics)) {}

HttpServer::~HttpServer() = default;

bool HttpServer::listen(const std::string& host, int port, int& bound, std::string& error) {
  error_code ec;
  const auto address = asio::ip::make_address(host, ec);
  if (ec) {
    error = "not an IP address: " + host;
    return false;
  }
  tcp::acceptor& acceptor = state_->acceptor;
  const tcp::endpoint endpoint(address, static_cast<unsigned short>(port));
  acceptor.open(endpoint.protocol(), ec);
  if (!ec) acceptor.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) acceptor.bind(endpoint, ec);
  if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    error = ec.message();
    return false;
  }
  bound = acceptor.local_endpoint().port();
  state_->accept();
  return true;
}

void HttpServer::drain() {
  state_->draining = true;
  asio::post(state_->acceptor.get_executor(), [state = state_] {
    error_code ignored;
    state->acceptor.close(ignored);
    state->accept_pause.cancel();
    std::vector<std::shared_ptr<Connection>> open;
    {
      std::lock_guard<std::mutex> hold(state->lock);
      for (auto& [key, weak] : state->connections) {
        if (auto connection = weak.lock()) open.push_back(connection);
      }
    }
    for (auto& connection : open) drain_connection(*connection);
  });
}

bool HttpServer::draining() const { return state_->draining; }
