// One client connection of faceprobe-serve's HTTP layer: its requests read
// under their deadlines and limits, handed to the RequestHandler, answered.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <memory>
#include <string>

#include "serve/server_state.h"

// Takes over an accepted connection and starts reading its first request.
std::shared_ptr<Connection> open_connection(boost::asio::ip::tcp::socket socket,
                                            std::shared_ptr<HttpServer::State> server,
                                            std::string client);

// Closes the connection if it waits for a request; else once the request in
// hand is answered.
void drain_connection(Connection& connection);
