#include "tests/http_client.h"

#include <algorithm>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <cctype>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;

HttpResult http_call(int port, const std::string& method, const std::string& target,
                     const std::string& body, const Headers& headers, int timeout_seconds) {
  HttpResult result;
  asio::io_context io;
  beast::tcp_stream stream(io);
  stream.expires_after(std::chrono::seconds(timeout_seconds));
  beast::error_code failure;
  const auto note = [&failure](const beast::error_code& ec, auto&&...) { failure = ec; };
  const asio::ip::tcp::endpoint server(asio::ip::address_v4::loopback(),
                                       static_cast<unsigned short>(port));
  stream.async_connect(server, note);
  io.run();
  http::request<http::string_body> request{http::string_to_verb(method), target, 11};
  request.set(http::field::host, "127.0.0.1");
  for (const auto& [name, value] : headers) request.set(name, value);
  request.body() = body;
  if (!body.empty() || method == "POST") request.prepare_payload();
  if (!failure) {
    io.restart();
    http::async_write(stream, request, note);
    io.run();
  }
  beast::flat_buffer buffer;
  http::response_parser<http::string_body> parser;
  parser.body_limit(std::uint64_t{1} << 32);
  if (!failure) {
    io.restart();
    http::async_read(stream, buffer, parser, note);
    io.run();
  }
  if (failure) {
    result.error = failure.message();
    return result;
  }
  const auto& response = parser.get();
  result.ok = true;
  result.status = static_cast<int>(response.result_int());
  for (const auto& field : response) {
    std::string name(field.name_string());
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    result.headers[name] = std::string(field.value());
  }
  result.body = response.body();
  return result;
}
