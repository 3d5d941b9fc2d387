#include "serve/routes.h"

#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>

#include "analysis/json_result.h"
#include "face/normalise.h"
#include "serve/memory_budget.h"
#include "serve/multipart.h"

namespace fs = std::filesystem;

namespace {

HttpAnswer json_answer(int status, const Json& body) {
  return HttpAnswer{status, json_text(body) + "\n"};
}

HttpAnswer error_answer(int status, const std::string& text) {
  return json_answer(status, Json{{"error", text}});
}

std::string read_whole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::string path_of(const std::string& target) { return target.substr(0, target.find('?')); }

// Whether the query holds `name`=1.
bool query_flag(const std::string& target, const std::string& name) {
  const size_t question = target.find('?');
  if (question == std::string::npos) return false;
  const std::string query = "&" + target.substr(question + 1) + "&";
  return query.find("&" + name + "=1&") != std::string::npos;
}

// The upload goes to a private file, and the photo is analysed from there
// exactly as faceprobe analyses a file: the same decoder, EXIF orientation,
// header check and normalised JPEG. Both files are removed before answering.
Json analyse_upload(Service& service, const std::string& body, bool with_normalised,
                    Worker& worker) {
  std::string upload = (service.scratch / "upload-XXXXXX").string();
  const int fd = ::mkstemp(upload.data());
  if (fd < 0) throw std::runtime_error("cannot create a file for the upload");
  size_t written = 0;
  while (written < body.size()) {
    const ssize_t n = ::write(fd, body.data() + written, body.size() - written);
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  ::close(fd);
  const std::string normalised = resized_image_path(upload);
  PhotoResult result;
  if (written != body.size()) {
    result.status = "ERROR: EXCEPTION THROWN!";
    result.payload = "the upload could not be stored for analysis";
  } else {
    const auto start = std::chrono::steady_clock::now();
    result = analyse_photo(upload, normalised, "", service.limits, worker);
    service.metrics.analysis_finished(
        result.status,
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  Json answer;
  answer["status"] = result.status;
  if (result.status == "ok") answer["record"] = result.payload;
  add_analysis_fields(answer, result);
  if (with_normalised && result.status == "ok") {
    answer["normalised_jpeg"] = base64(read_whole(normalised));
  }
  std::error_code ignored;
  fs::remove(upload, ignored);
  fs::remove(normalised, ignored);
  return answer;
}

void handle_analyse(Service& service, HttpRequest request, const Reply& reply,
                    const std::shared_ptr<const std::atomic<bool>>& gone) {
  std::string photo = std::move(request.body);
  if (is_form(request.content_type)) {
    std::string form = std::move(photo), error;
    if (!form_photo(request.content_type, form, photo, error)) {
      return reply(error_answer(400, error));
    }
  }
  if (photo.empty()) {
    return reply(error_answer(400, "the request body is empty: send the image file's bytes"));
  }
  // Known from the first bytes, before any decoder sees the body.
  const ImageHeader header = read_image_header(photo);
  if (!(service.limits.formats & format_bit(header.format))) {
    service.metrics.request_refused("format");
    return reply(
        error_answer(415, std::string("the body is ") +
                              (header.format == ImageFormat::kUnknown
                                   ? "of no image format known here"
                                   : std::string("a ") + format_name(header.format) + " image") +
                              "; this service analyses " + format_names(service.limits.formats)));
  }
  const int64_t cost = upload_cost(header, service.limits.max_pixels);
  const bool with_normalised = query_flag(request.target, "normalised");
  auto bytes = std::make_shared<std::string>(std::move(photo));
  const bool queued = service.pool->submit(
      [&service, bytes, with_normalised, reply, gone](Worker& worker) {
        if (*gone) {
          service.metrics.analysis_dropped();
          return reply(error_answer(400, "the client left before its analysis began"));
        }
        try {
          reply(json_answer(200, analyse_upload(service, *bytes, with_normalised, worker)));
        } catch (const std::exception& e) {
          reply(error_answer(500, std::string("the analysis failed: ") + e.what()));
        }
      },
      cost);
  if (!queued) {
    service.metrics.request_refused("queue");
    HttpAnswer busy =
        error_answer(503, "every analysis worker is busy and the queue is full; try again");
    busy.headers.emplace_back("Retry-After", "1");
    reply(std::move(busy));
  }
}

bool answer_from_header(Service& service, const HttpRequest& head, HttpAnswer& answer) {
  const std::string path = path_of(head.target);
  const char* allowed = path == "/analyse"                                              ? "POST"
                        : path == "/healthz" || path == "/readyz" || path == "/metrics" ? "GET"
                                                                                        : nullptr;
  if (!allowed) {
    answer = error_answer(
        404, "no such resource: POST /analyse, GET /healthz, GET /readyz, GET /metrics");
    return true;
  }
  if (head.method != allowed) {
    answer = error_answer(405, std::string("this resource answers ") + allowed + " only");
    answer.headers.emplace_back("Allow", allowed);
    return true;
  }
  if (path == "/healthz") {
    answer = json_answer(200, Json{{"status", "ready"}});
  } else if (path == "/readyz") {
    answer = service.draining() ? json_answer(503, Json{{"status", "stopping"}})
                                : json_answer(200, Json{{"status", "ready"}});
  } else if (path == "/metrics") {
    answer = HttpAnswer{200, service.metrics.text(), "text/plain; version=0.0.4"};
  } else {
    return false;  // POST /analyse: its body is read
  }
  return true;
}

}  // namespace

RequestHandler service_routes(Service& service) {
  RequestHandler handler;
  handler.refuse_early = [&service](const HttpRequest& head, HttpAnswer& answer) {
    return answer_from_header(service, head, answer);
  };
  handler.handle = [&service](HttpRequest request, Reply reply,
                              std::shared_ptr<const std::atomic<bool>> gone) {
    handle_analyse(service, std::move(request), reply, gone);
  };
  return handler;
}
