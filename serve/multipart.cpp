#include "serve/multipart.h"

#include <algorithm>
#include <cctype>

namespace {

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// A parameter of a header value (`boundary=...`, `name="..."`), quoted or
// not; "" when absent. `key` is lower case and ends in '='.
std::string parameter(const std::string& value, const std::string& key) {
  const std::string folded = lower(value);
  size_t at = 0;
  while ((at = folded.find(key, at)) != std::string::npos) {
    // Only a whole parameter name: "name=" must not match inside "filename=".
    if (at == 0 || folded[at - 1] == ';' || folded[at - 1] == ' ' || folded[at - 1] == '\t') {
      break;
    }
    at += key.size();
  }
  if (at == std::string::npos) return "";
  at += key.size();
  if (at < value.size() && value[at] == '"') {
    const size_t end = value.find('"', at + 1);
    return end == std::string::npos ? "" : value.substr(at + 1, end - at - 1);
  }
  const size_t end = value.find(';', at);
  std::string raw = value.substr(at, end == std::string::npos ? std::string::npos : end - at);
  while (!raw.empty() && (raw.back() == ' ' || raw.back() == '\t')) raw.pop_back();
  return raw;
}

bool has_parameter(const std::string& value, const std::string& key) {
  const std::string folded = lower(value);
  for (size_t at = folded.find(key); at != std::string::npos; at = folded.find(key, at + 1)) {
    if (at == 0 || folded[at - 1] == ';' || folded[at - 1] == ' ') return true;
  }
  return false;
}

// The Content-Disposition line of a part's headers.
std::string disposition(const std::string& headers) {
  size_t start = 0;
  while (start < headers.size()) {
    size_t end = headers.find("\r\n", start);
    if (end == std::string::npos) end = headers.size();
    const std::string line = headers.substr(start, end - start);
    const size_t colon = line.find(':');
    if (colon != std::string::npos && lower(line.substr(0, colon)) == "content-disposition") {
      return line.substr(colon + 1);
    }
    start = end + 2;
  }
  return "";
}

}  // namespace

bool is_form(const std::string& content_type) {
  return lower(content_type).rfind("multipart/form-data", 0) == 0;
}

bool form_photo(const std::string& content_type, const std::string& body, std::string& photo,
                std::string& error) {
  const std::string boundary = parameter(content_type, "boundary=");
  if (boundary.empty() || boundary.size() > 200) {
    error = "the multipart/form-data body names no boundary";
    return false;
  }
  const std::string delimiter = "--" + boundary;
  size_t at = body.rfind(delimiter, 0) == 0 ? 0 : body.find("\r\n" + delimiter);
  if (at == std::string::npos) {
    error = "the form's body does not start with its boundary";
    return false;
  }
  at += at == 0 ? delimiter.size() : delimiter.size() + 2;
  size_t first_file_begin = std::string::npos, first_file_size = 0;
  for (;;) {
    if (body.compare(at, 2, "--") == 0) break;  // the closing delimiter
    if (body.compare(at, 2, "\r\n") != 0) {
      error = "the form's body is not well formed";
      return false;
    }
    const size_t headers_end = body.find("\r\n\r\n", at + 2);
    const size_t next = headers_end == std::string::npos
                            ? std::string::npos
                            : body.find("\r\n" + delimiter, headers_end + 4);
    if (next == std::string::npos) {
      error = "the form's body ends inside a part";
      return false;
    }
    const std::string part = disposition(body.substr(at + 2, headers_end - at - 2));
    const size_t begin = headers_end + 4;
    if (parameter(part, "name=") == "photo") {
      photo = body.substr(begin, next - begin);
      return true;
    }
    if (first_file_begin == std::string::npos && has_parameter(part, "filename=")) {
      first_file_begin = begin;
      first_file_size = next - begin;
    }
    at = next + 2 + delimiter.size();
  }
  if (first_file_begin == std::string::npos) {
    error = "the form holds no file: send the photo as the part named photo";
    return false;
  }
  photo = body.substr(first_file_begin, first_file_size);
  return true;
}
