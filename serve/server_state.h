// What faceprobe-serve's HTTP layer shares between its acceptor and its
// connections; used from every I/O thread.
#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "serve/http_server.h"
#include "serve/metrics.h"

class Connection;

struct HttpServer::State : std::enable_shared_from_this<HttpServer::State> {
  State(boost::asio::io_context& io, HttpLimits limits, RequestHandler handler, Metrics& metrics)
      : io(io), limits(limits), handler(std::move(handler)), metrics(metrics),
        acceptor(boost::asio::make_strand(io)), accept_pause(acceptor.get_executor()) {}

  void accept();
  void on_accept(const boost::system::error_code& ec, boost::asio::ip::tcp::socket socket);
  void forget(Connection* connection, const std::string& client);
  // Room in the budget for bodies; false when `bytes` more would pass it.
  bool reserve(size_t bytes);
  void release(size_t bytes);

  boost::asio::io_context& io;
  const HttpLimits limits;
  const RequestHandler handler;
  Metrics& metrics;
  boost::asio::ip::tcp::acceptor acceptor;
  boost::asio::steady_timer accept_pause;  // after an accept error such as EMFILE
  std::atomic<bool> draining{false};

  std::mutex lock;  // guards what follows
  std::unordered_map<Connection*, std::weak_ptr<Connection>> connections;
  std::map<std::string, int> per_client;
  size_t buffered = 0;
};

