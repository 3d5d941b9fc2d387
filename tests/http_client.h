// A small HTTP/1.1 client for the service's tests, on Boost.Beast: one
// connection per call to 127.0.0.1, every call bounded in time.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

struct HttpResult {
  bool ok = false;
  std::string error;  // why there is no answer
  int status = 0;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;

  explicit operator bool() const { return ok; }
  const HttpResult* operator->() const { return this; }
  bool has_header(const std::string& lower_name) const { return headers.count(lower_name) > 0; }
};

using Headers = std::vector<std::pair<std::string, std::string>>;

HttpResult http_call(int port, const std::string& method, const std::string& target,
                     const std::string& body = "", const Headers& headers = {},
                     int timeout_seconds = 60);

// The calls the tests make most.
struct HttpClient {
  int port;
  HttpResult Get(const std::string& target) const { return http_call(port, "GET", target); }
  HttpResult Post(const std::string& target, const std::string& body,
                  const std::string& content_type) const {
    return http_call(port, "POST", target, body, {{"Content-Type", content_type}});
  }
};
