// faceprobe-serve: faceprobe's analysis as an HTTP service. The data files are
// loaded once; each POST /analyse carries one image file's bytes (or a form
// with the photo) and gets one JSON object back, the analysis faceprobe makes
// of the same bytes. This file reads the options and wires the parts.
#include <malloc.h>
#include <signal.h>
#include <stdlib.h>

#include <CLI/CLI.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <filesystem>
#include <iostream>
#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <thread>

#include "analysis/photo_analysis.h"
#include "driver/stages_isa.h"
#include "serve/http_server.h"
#include "serve/memory_budget.h"
#include "serve/routes.h"

namespace fs = std::filesystem;

namespace {

struct ServeOptions {
  std::string listen = "127.0.0.1:8080";
  std::string data_dir;  // empty: looked for, as by faceprobe-batch
  int jobs = 0;          // 0: one per core
  int queue = 16;
  int64_t max_pixels = 100000000;
  std::string formats = "jpeg,png,webp";
  int64_t max_memory = 0;  // 0: default_memory_budget()
  HttpLimits limits;
};

// Parses the command line; false with the exit status to end with.
bool parse_command_line(int argc, char** argv, ServeOptions& options, int& status) {
  CLI::App app{"faceprobe-serve: faceprobe's face analysis as an HTTP service"};
  HttpLimits& limits = options.limits;
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
  app.add_option("--max-body", limits.max_body, "largest request body in bytes; beyond: 413")
      ->check(CLI::Range(size_t{1}, size_t{1} << 34))
      ->capture_default_str();
  app.add_option("--max-pixels", options.max_pixels,
                 "refuse photos of more pixels, from the header where it is read")
      ->check(CLI::Range(int64_t{1}, int64_t{1} << 40))
      ->capture_default_str();
  app.add_option("--formats", options.formats,
                 "image formats analysed, known by their first bytes; others: 415 (jpeg, png, "
                 "webp, bmp, tiff, pnm, jp2, sunraster, hdr, exr, pfm)")
      ->capture_default_str();
  app.add_option("--max-memory", options.max_memory,
                 "bytes the analyses in flight may hold (16 MiB + 20 bytes a pixel each), "
                 "suffixes KiB, MiB, GiB; default: half the cgroup's or the machine's memory")
      ->transform(CLI::AsSizeValue(false));
  app.add_option("--header-timeout", limits.header_seconds,
                 "seconds for a request's whole header; past it: 408 and close")
      ->check(CLI::Range(1, 3600))
      ->capture_default_str();
  app.add_option("--body-timeout", limits.body_seconds,
                 "seconds for a body, plus one per --min-upload-rate bytes declared; past "
                 "it: 408 and close")
      ->check(CLI::Range(1, 3600))
      ->capture_default_str();
  app.add_option("--min-upload-rate", limits.min_rate,
                 "bytes per second a body's deadline allows for beyond --body-timeout")
      ->check(CLI::Range(int64_t{1024}, int64_t{1} << 40))
      ->capture_default_str();
  int read_timeout = 0;
  app.add_option("--read-timeout", read_timeout,
                 "sets --header-timeout and --body-timeout together (kept for old scripts)")
      ->check(CLI::Range(1, 3600));
  app.add_option("--keep-alive", limits.keep_alive_seconds,
                 "seconds a kept connection may wait for its next request")
      ->check(CLI::Range(1, 3600))
      ->capture_default_str();
  app.add_option("--max-header", limits.max_header,
                 "largest request header in bytes; beyond: 431 and close")
      ->check(CLI::Range(size_t{1024}, size_t{1} << 20))
      ->capture_default_str();
  app.add_option("--max-connections", limits.max_connections,
                 "connections held at once; beyond: closed as soon as accepted")
      ->check(CLI::Range(1, 1 << 20))
      ->capture_default_str();
  app.add_option("--max-connections-per-client", limits.max_per_client,
                 "connections one client address may hold (0: no limit; behind a proxy every "
                 "client is the proxy)")
      ->check(CLI::Range(0, 1 << 20))
      ->capture_default_str();
  app.add_option("--max-buffered", limits.max_buffered,
                 "bytes of bodies held at once, read or being analysed; beyond: 503")
      ->check(CLI::Range(size_t{1} << 20, size_t{1} << 40))
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
  if (read_timeout > 0) limits.header_seconds = limits.body_seconds = read_timeout;
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
  signal(SIGPIPE, SIG_IGN);

  const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  const int jobs = options.jobs > 0 ? options.jobs : cores;
  // Before any OpenCV call (the formats are tried below): the workers keep
  // the cores busy, and OpenCV's own threads would only compete with them.
  if (jobs > 1) cv::setNumThreads(1);
  Service service;
  service.limits.max_pixels = options.max_pixels;
  std::string error;
  if (!parse_formats(options.formats, service.limits.formats, error)) {
    std::cerr << "faceprobe-serve: " << error << std::endl;
    return 2;
  }
  const int64_t budget = options.max_memory > 0 ? options.max_memory : default_memory_budget();
  if (photo_cost(options.max_pixels) > budget) {
    std::cerr << "faceprobe-serve: --max-memory " << memory_text(budget)
              << " cannot hold one photo of --max-pixels " << options.max_pixels << " ("
              << memory_text(photo_cost(options.max_pixels))
              << ", at 16 MiB and 20 bytes a pixel): raise --max-memory or lower --max-pixels"
              << std::endl;
    return 2;
  }
  std::unique_ptr<AnalysisModels> models;
  const std::string data_dir = find_data_dir(options.data_dir, error);
  if (data_dir.empty() || !load_analysis_models(data_dir, models, error)) {
    std::cerr << "faceprobe-serve: " << error << std::endl;
    return 2;
  }
  // Analyses run on several threads, and glibc would give each its own
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
  warm_up_opencv(*models);
  service.pool = std::make_unique<WorkerPool>(
      *models, jobs, options.queue, budget,
      [&service](int waiting) { service.metrics.set_queue_length(waiting); });

  boost::asio::io_context io;
  HttpServer server(io, options.limits, service_routes(service), service.metrics);
  service.draining = [&server] { return server.draining(); };
  int bound = 0;
  if (!server.listen(host, port, bound, error)) {
    std::cerr << "faceprobe-serve: cannot listen on " << options.listen << ": " << error
              << std::endl;
    fs::remove_all(service.scratch);
    return 2;
  }
  std::cout << "faceprobe-serve: listening on http://"
            << options.listen.substr(0, options.listen.rfind(':')) << ":" << bound << std::endl;

  // SIGTERM, SIGINT or SIGHUP: stop accepting, answer what was accepted,
  // then the I/O threads run out of work and the service exits 0.
  boost::asio::signal_set stop(io, SIGTERM, SIGINT, SIGHUP);
  stop.async_wait([&server](const boost::system::error_code& ec, int) {
    if (!ec) server.drain();
  });
  // A few I/O threads hold every connection; the analyses run on the pool.
  std::vector<std::thread> io_threads;
  for (int i = 1; i < std::min(cores, 4); ++i) io_threads.emplace_back([&io] { io.run(); });
  io.run();
  for (std::thread& thread : io_threads) thread.join();
  service.pool.reset();
  std::error_code ignored;
  fs::remove_all(service.scratch, ignored);
  return 0;
}
