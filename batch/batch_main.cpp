// faceprobe-batch: faceprobe's analysis over many photos, with the data files
// loaded once and the photos shared among worker threads. One result line
// per photo on standard output, in input order, each flushed as soon as it
// and every line before it are done.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <thread>
#include <vector>

#include "analysis/photo_analysis.h"
#include "batch/job_queue.h"
#include "batch/options.h"
#include "batch/result_line.h"
#include "batch/table.h"
#include "driver/analysis.h"
#include "driver/stages_isa.h"

namespace fs = std::filesystem;

namespace {

class ClearingStderr : public std::streambuf {
 protected:
  int_type overflow(int_type c) override {
    if (c == traits_type::eof()) return traits_type::not_eof(c);
    const char byte = traits_type::to_char_type(c);
    return xsputn(&byte, 1) == 1 ? c : traits_type::eof();
  }
  std::streamsize xsputn(const char* text, std::streamsize n) override {
    std::string out;
    for (std::streamsize i = 0; i < n; ++i) {
      if (at_line_start_) out += "\r\033[K";
      out += text[i];
      at_line_start_ = text[i] == '\n';
    }
    return ::write(STDERR_FILENO, out.data(), out.size()) < 0 ? 0 : n;
  }

 private:
  bool at_line_start_ = true;
};

void show_progress(size_t done, const Queue& queue, double seconds) {
  const double rate = seconds > 0 ? (done - queue.skipped) / seconds : 0;
  if (queue.input_closed) {
    const double left = rate > 0 ? (queue.enqueued - done) / rate : 0;
    std::fprintf(stderr, "\r%zu/%zu  %.1f photos/s  %.0f s left ", done, queue.enqueued, rate,
                 left);
  } else {
    std::fprintf(stderr, "\r%zu/?  %.1f photos/s ", done, rate);
  }
}

// Writes the result lines in input order as they become ready, to the table
// or to standard output, after those a resumed table holds. False when the
// output failed.
bool write_results(Queue& queue, Table& table) {
  const bool progress = isatty(STDERR_FILENO);
  const auto start = std::chrono::steady_clock::now();
  for (size_t next = queue.resumed.size();; ++next) {
    std::string line;
    {
      std::unique_lock<std::mutex> hold(queue.lock);
      // After a stop signal, the lines of the photos finished so far.
      queue.changed.wait(hold, [&] {
        return queue.finished.count(next) || (queue.input_closed && next == queue.enqueued) ||
               (halted(queue) && queue.busy == 0);
      });
      if (!queue.finished.count(next)) break;
      line = std::move(queue.finished[next]);
      queue.finished.erase(next);
      if (progress) {
        show_progress(next + 1, queue,
                      std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
                          .count());
      }
    }
    if (table.fd >= 0) {
      if (!append_line(table, line)) return false;
    } else if (!(std::cout << line << std::flush)) {
      return false;
    }
  }
  if (progress) std::fputs("\n", stderr);
  return true;
}

// Creates a folder the run writes into, with its parents, and makes sure a
// file can be written there, before any photo is analysed.
bool prepare_folder(const std::string& folder, std::string& error) {
  if (folder.empty()) return true;
  std::error_code failed;
  fs::create_directories(folder, failed);
  std::string probe = (fs::path(folder) / ".faceprobe-batch-XXXXXX").string();
  const int fd = failed ? -1 : ::mkstemp(probe.data());
  if (fd < 0) {
    error = "cannot write into the folder " + folder + ": " +
            (failed ? failed.message() : std::strerror(errno));
    return false;
  }
  ::close(fd);
  ::unlink(probe.c_str());
  return true;
}

// photos, ok, each error status, lines a resumed table held, files not
// written, seconds.
void print_summary(const Queue& queue, const BatchOptions& options, double seconds) {
  size_t photos = 0;
  for (const auto& entry : queue.statuses) photos += entry.second;
  const auto ok = queue.statuses.find("ok");
  std::string text = "faceprobe-batch: " + std::to_string(photos) + " photos, " +
                     std::to_string(ok == queue.statuses.end() ? 0 : ok->second) + " ok";
  for (const auto& [status, count] : queue.statuses) {
    if (status != "ok") text += ", " + std::to_string(count) + " " + status;
  }
  if (options.resume) {
    text += "; " + std::to_string(queue.skipped) + " already in " + options.output;
  }
  char tail[64];
  std::snprintf(tail, sizeof tail, "; %zu files not written; %.1f s\n", queue.files_not_written,
                seconds);
  std::cerr << text + tail << std::flush;
}

}  // namespace

int main(int argc, char** argv) {
  BatchOptions options;
  std::string error;
  if (!parse_options(argc, argv, options, error)) {
    std::cerr << "faceprobe-batch: " << error << "\n" << kUsage;
    return 2;
  }
  if (options.help || options.version) {
    std::cout << (options.help ? kUsage : version_line("faceprobe-batch") + "\n");
    return 0;
  }
  // Paths on standard input are read a buffer at a time, not a byte.
  std::ios::sync_with_stdio(false);
  // Never destroyed: std::cerr may still write through it at exit.
  if (isatty(STDERR_FILENO)) std::cerr.rdbuf(new ClearingStderr);
  // Our own messages say what failed; OpenCV's log would repeat them.
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  const int jobs = options.jobs > 0 ? options.jobs
                                    : std::max(1u, std::thread::hardware_concurrency());
  // Before any OpenCV call (--formats tries each format): the workers keep
  // the cores busy, and OpenCV's own threads inside each call would only
  // compete with them.
  if (jobs > 1) cv::setNumThreads(1);
  if (!options.format_list.empty() && !parse_formats(options.format_list, options.formats, error)) {
    std::cerr << "faceprobe-batch: " << error << "\n" << kUsage;
    return 2;
  }
  std::unique_ptr<AnalysisModels> models;
  const std::string data_dir = find_data_dir(options.data_dir, error);
  if (data_dir.empty() || !load_analysis_models(data_dir, models, error) ||
      !prepare_folder(options.output_dir, error) || !prepare_folder(options.annotate_dir, error)) {
    std::cerr << "faceprobe-batch: " << error << std::endl;
    return 2;
  }
  Table table;
  if (!options.output.empty()) {
    if (!open_table(options, table_options(options, data_dir), table, error)) {
      std::cerr << "faceprobe-batch: " << error << std::endl;
      return 2;
    }
  } else if (options.format == OutputFormat::kTsv && options.header) {
    std::cout << kTsvHeader << std::flush;
  }
  const std::string output_name = options.output.empty() ? "standard output" : options.output;
  if (!std::cout) {
    std::cerr << "faceprobe-batch: cannot write to standard output" << std::endl;
    return 1;
  }
  const auto start = std::chrono::steady_clock::now();
  warm_up_opencv(*models);

  // SIGTERM, SIGINT and SIGHUP go to one thread, which stops the batch in
  // order: the workers inherit the mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&stop_signals, s);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  Queue queue;
  queue.resumed = std::move(table.done);
  std::thread stopper([&queue, &stop_signals] {
    int signal_number = 0;
    sigwait(&stop_signals, &signal_number);
    std::lock_guard<std::mutex> hold(queue.lock);
    queue.stop_signal = signal_number;
    queue.changed.notify_all();
  });
  stopper.detach();
  std::thread reader(read_input, std::cref(options), std::ref(queue));
  std::vector<std::thread> workers;
  for (int i = 0; i < jobs; ++i) {
    workers.emplace_back(work, std::cref(options), std::cref(*models), std::ref(queue));
  }
  if (!write_results(queue, table)) {
    // Nobody gets the results any more: end now rather than wait for an
    // input that may stay open. Normalised images are renamed into place
    // whole, so ending mid-write leaves no torn file.
    std::cerr << "faceprobe-batch: cannot write to " + output_name + "\n" << std::flush;
    std::_Exit(1);
  }
  for (std::thread& worker : workers) worker.join();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!queue.resume_error.empty()) {
    // Nothing was written: the table stays as it was.
    std::cerr << "faceprobe-batch: --resume: " + queue.resume_error + "\n" << std::flush;
    std::_Exit(2);
  }
  if (stopping(queue)) {
    // The reader may wait on an open standard input: end without it. Every
    // photo started was finished, so no temporary is left behind.
    print_summary(queue, options, seconds);
    std::_Exit(128 + queue.stop_signal);
  }
  reader.join();
  if (table.fd >= 0 && !finish_table(table)) {
    std::cerr << "faceprobe-batch: cannot write to " + output_name + "\n" << std::flush;
    return 1;
  }
  if (options.resume && queue.statuses.empty()) {
    std::cerr << "faceprobe-batch: " + options.output +
                     " holds every photo of the input already: nothing to analyse\n";
  }
  print_summary(queue, options, seconds);
  // A photo without a face is a result; a requested file not written is not.
  return queue.files_not_written > 0 ? 1 : 0;
}
