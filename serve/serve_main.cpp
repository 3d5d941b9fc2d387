// faceprobe-serve: faceprobe's analysis as an HTTP service. The data files are
// loaded once; each POST /analyse carries one image file's bytes and gets one
// JSON object back, the analysis faceprobe makes of the same bytes.
#include <httplib.h>
#include <malloc.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <sstream>
#include <thread>

#include "batch/json_result.h"
#include "batch/photo_analysis.h"
#include "driver/stages_isa.h"
#include "face/normalise.h"
#include "serve/metrics.h"
#include "serve/worker_pool.h"

namespace fs = std::filesystem;

namespace {

struct ServeOptions {
  std::string listen = "127.0.0.1:8080";
  std::string data_dir;  // empty: looked for, as by faceprobe-batch
  int jobs = 0;  // 0: one per core
  int queue = 16;
  size_t max_body = 32 << 20;
  int64_t max_pixels = 100000000;
  int read_timeout = 30;
};

// Everything the handlers share; all of it is safe to use from the server's
// threads at once.
struct Service {
  ServeOptions options;
  fs::path scratch;  // private folder of the uploads being analysed
  Metrics metrics;
  std::unique_ptr<WorkerPool> pool;
};

std::string read_whole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void send_json(httplib::Response& res, int code, const Json& body) {
  res.status = code;
  res.set_content(json_text(body) + "\n", "application/json");
}

void send_error(httplib::Response& res, int code, const std::string& text) {
  send_json(res, code, Json{{"error", text}});
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
    result = analyse_photo(upload, normalised, "", service.options.max_pixels, worker);
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

enum class Body { kWhole, kTooLarge, kCut };

// Reads the body as it arrives, whatever its declared type, and stops at the
// first byte beyond --max-body.
Body read_body(const httplib::ContentReader& reader, size_t max_body, std::string& body) {
  bool too_large = false;
  const bool whole = reader([&](const char* data, size_t length) {
    if (body.size() + length > max_body) {
      too_large = true;
      return false;
    }
    body.append(data, length);
    return true;
  });
  return too_large ? Body::kTooLarge : whole ? Body::kWhole : Body::kCut;
}

void handle_analyse(Service& service, const httplib::Request& req, httplib::Response& res,
                    const httplib::ContentReader& reader) {
  std::string body;
  const Body read = read_body(reader, service.options.max_body, body);
  if (read != Body::kWhole) {
    // What is left of the body is never read: the connection goes.
    res.set_header("Connection", "close");
    if (read == Body::kTooLarge) {
      send_error(res, 413, "the body is larger than " +
                               std::to_string(service.options.max_body) + " bytes");
    } else {
      send_error(res, 400, "the body did not arrive whole (the client stopped or was too slow)");
    }
    return;
  }
  if (body.empty()) {
    send_error(res, 400, "the request body is empty: send the image file's bytes");
    return;
  }
  HeldWorker worker(*service.pool);
  if (!worker.get()) {
    res.set_header("Retry-After", "1");
    send_error(res, 503, "every analysis worker is busy and the queue is full; try again");
    return;
  }
  const bool with_normalised =
      req.has_param("normalised") && req.get_param_value("normalised") == "1";
  send_json(res, 200, analyse_upload(service, body, with_normalised, *worker.get()));
}

// Per server thread: when the request it handles started, for the access
// log, and whether it was counted as in flight.
thread_local std::chrono::steady_clock::time_point request_start;
thread_local bool request_counted = false;

void log_request(Service& service, const httplib::Request& req, const httplib::Response& res) {
  double ms = 0;
  if (request_counted) {
    ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() -
                                                   request_start)
             .count();
  }
  service.metrics.request_finished(res.status, request_counted);
  request_counted = false;
  char line[64];
  std::snprintf(line, sizeof line, " %d %zu %.1f\n", res.status, res.body.size(), ms);
  // One write per line, so that lines of several threads never mix.
  std::cerr << (req.method + " " + req.path + line) << std::flush;
}

void add_routes(httplib::Server& server, Service& service) {
  server.set_pre_routing_handler([&service](const httplib::Request& req, httplib::Response& res) {
    request_start = std::chrono::steady_clock::now();
    request_counted = true;
    service.metrics.request_started();
    // Refused from its header, before a byte of the body is read.
    if (req.has_header("Content-Length") &&
        std::strtoull(req.get_header_value("Content-Length").c_str(), nullptr, 10) >
            service.options.max_body) {
      res.set_header("Connection", "close");
      send_error(res, 413, "the body is larger than " +
                               std::to_string(service.options.max_body) + " bytes");
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });
  server.Post("/analyse", [&service](const httplib::Request& req, httplib::Response& res,
                                      const httplib::ContentReader& reader) {
    handle_analyse(service, req, res, reader);
  });
  server.Get("/healthz", [](const httplib::Request&, httplib::Response& res) {
    send_json(res, 200, Json{{"status", "ready"}});
  });
  server.Get("/metrics", [&service](const httplib::Request&, httplib::Response& res) {
    res.set_content(service.metrics.text(), "text/plain; version=0.0.4");
  });
  const auto not_allowed = [](const char* allow) {
    return [allow](const httplib::Request&, httplib::Response& res) {
      res.set_header("Allow", allow);
      send_error(res, 405, std::string("this resource answers ") + allow + " only");
    };
  };
  for (const char* path : {"/healthz", "/metrics"}) {
    server.Post(path, not_allowed("GET"));
    server.Put(path, not_allowed("GET"));
    server.Delete(path, not_allowed("GET"));
    server.Patch(path, not_allowed("GET"));
  }
  server.Get("/analyse", not_allowed("POST"));
  server.Put("/analyse", not_allowed("POST"));
  server.Delete("/analyse", not_allowed("POST"));
  server.Patch("/analyse", not_allowed("POST"));
  server.set_error_handler([](const httplib::Request&, httplib::Response& res) {
    if (!res.body.empty()) return;
    const char* text = res.status == 404   ? "no such resource: POST /analyse, GET /healthz, GET /metrics"
                       : res.status == 413 ? "the body is larger than --max-body allows"
                       : res.status == 408 ? "the request was not received in time"
                                           : "the request could not be handled";
    send_error(res, res.status, text);
  });
  server.set_logger([&service](const httplib::Request& req, const httplib::Response& res) {
    log_request(service, req, res);
  });
}

// Parses the command line; false with the exit status to end with.
bool parse_command_line(int argc, char** argv, ServeOptions& options, int& status) {
  CLI::App app{"faceprobe-serve: faceprobe's face analysis as an HTTP service"};
  app.set_version_flag("--version", version_line("faceprobe-serve"));
  app.add_option("--listen", options.listen, "ADDR:PORT to listen on (port 0: any free port)")
      ->capture_default_str();
  app.add_option("--data", options.data_dir,
                 "folder of the three data files (default: the working directory when they "
                 "are all there, else " FACEPROBE_DATA_DIR ")");
  app.add_option("--jobs", options.jobs, "analysis workers (default: one per core)")
      ->check(CLI::Range(1, 1024));
  app.add_option("--queue", options.queue, "requests that may wait for a worker; beyond: 503")
      ->check(CLI::Range(0, 100000))
      ->capture_default_str();
  app.add_option("--max-body", options.max_body, "largest request body in bytes; beyond: 413")
      ->check(CLI::Range(size_t{1}, size_t{1} << 34))
      ->capture_default_str();
  app.add_option("--max-pixels", options.max_pixels,
                 "refuse photos of more pixels, from the header where it is read")
      ->check(CLI::Range(int64_t{1}, int64_t{1} << 40))
      ->capture_default_str();
  app.add_option("--read-timeout", options.read_timeout,
                 "seconds a client may take between two reads of its request")
      ->check(CLI::Range(1, 3600))
      ->capture_default_str();
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    status = app.exit(e);
    return false;
  } catch (const CLI::CallForVersion& e) {
    status = app.exit(e);
    return false;
  } catch (const CLI::ParseError& e) {
    std::cerr << "faceprobe-serve: " << e.what() << "\n" << app.help();
    status = 2;
    return false;
  }
  return true;
}

bool split_listen(const std::string& listen, std::string& host, int& port) {
  const size_t colon = listen.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  host = listen.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  char* end = nullptr;
  const long value = std::strtol(listen.c_str() + colon + 1, &end, 10);
  if (colon + 1 == listen.size() || *end != '\0' || value < 0 || value > 65535) return false;
  port = static_cast<int>(value);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  ServeOptions options;
  int status = 0;
  if (!parse_command_line(argc, argv, options, status)) return status;
  std::string host;
  int port = 0;
  if (!split_listen(options.listen, host, port)) {
    std::cerr << "faceprobe-serve: --listen takes ADDR:PORT, not " << options.listen << "\n";
    return 2;
  }
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);

  // SIGTERM, SIGINT and SIGHUP are taken by one thread below, never by the
  // server's threads, which inherit this mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&stop_signals, s);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  Service service;
  service.options = options;
  std::unique_ptr<BatchModels> models;
  std::string error;
  const std::string data_dir = find_data_dir(options.data_dir, error);
  if (data_dir.empty() || !load_batch_models(data_dir, models, error)) {
    std::cerr << "faceprobe-serve: " << error << std::endl;
    return 2;
  }
  const int jobs = options.jobs > 0 ? options.jobs
                                    : std::max(1u, std::thread::hardware_concurrency());
  if (jobs > 1) cv::setNumThreads(1);
  // Requests are handled on many threads, and glibc would give each its own
  // malloc arena, each keeping the photos' freed buffers: memory would creep
  // up with every thread that ever analysed. A few shared arenas hold it flat.
  mallopt(M_ARENA_MAX, jobs);
  std::string scratch = (fs::temp_directory_path() / "faceprobe-serve-XXXXXX").string();
  if (!::mkdtemp(scratch.data())) {
    std::cerr << "faceprobe-serve: cannot create a private folder under "
              << fs::temp_directory_path() << std::endl;
    return 2;
  }
  service.scratch = scratch;
  service.pool = std::make_unique<WorkerPool>(
      *models, jobs, options.queue, [&service](int waiting) {
        service.metrics.set_queue_length(waiting);
      });

  httplib::Server server;
  // Threads enough for every worker, every waiting request, and a few more
  // to answer 503, /healthz and /metrics while all of those are busy.
  const size_t threads = static_cast<size_t>(jobs + options.queue + 4);
  server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  server.set_read_timeout(options.read_timeout, 0);
  server.set_keep_alive_timeout(1);
  server.set_payload_max_length(options.max_body);
  add_routes(server, service);

  const int bound = port == 0 ? server.bind_to_any_port(host) : server.bind_to_port(host, port)
                                                                    ? port
                                                                    : -1;
  if (bound <= 0) {
    std::cerr << "faceprobe-serve: cannot listen on " << options.listen << std::endl;
    fs::remove_all(service.scratch);
    return 2;
  }
  std::cout << "faceprobe-serve: listening on http://" << options.listen.substr(0, options.listen.rfind(':'))
            << ":" << bound << std::endl;

  std::thread stopper([&server, &stop_signals] {
    int signal_number = 0;
    sigwait(&stop_signals, &signal_number);
    server.stop();
  });
  stopper.detach();
  // Returns once stopped, after the requests already accepted are answered.
  const bool listened = server.listen_after_bind();
  std::error_code ignored;
  fs::remove_all(service.scratch, ignored);
  return listened || !server.is_running() ? 0 : 1;
}
