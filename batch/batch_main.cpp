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
#include <set>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <iostream>
#include <map>
#include <mutex>
#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <thread>
#include <vector>

#include "batch/inputs.h"
#include "batch/options.h"
#include "batch/photo_analysis.h"
#include "batch/result_line.h"
#include "driver/analysis.h"
#include "driver/stages_isa.h"
#include "face/normalise.h"
#include "face/task_pool.h"

namespace fs = std::filesystem;

namespace {

struct Job {
  size_t index = 0;
  BatchInput input;
  std::string output_path;
  std::string annotated_path;
  std::string earlier_claim;  // the photo whose normalised image has this name
};

// The hand-over between the reader of the input, the workers and the writer
// of the results; everything in it is guarded by `lock`.
struct Queue {
  std::mutex lock;
  std::condition_variable changed;
  std::deque<Job> pending;
  std::map<size_t, std::string> finished;  // result lines by input index
  size_t enqueued = 0;
  bool input_closed = false;
  // A stop signal came: no new photo is started; those in flight finish.
  int stop_signal = 0;
  size_t busy = 0;  // workers analysing a photo
  // For the summary at the end.
  std::map<std::string, size_t> statuses;
  size_t files_not_written = 0;
};

std::string output_path_for(const std::string& photo, const BatchOptions& options) {
  const std::string beside = resized_image_path(photo);
  if (options.output_dir.empty()) return beside;
  return (fs::path(options.output_dir) / fs::path(beside).filename()).string();
}

std::string annotated_path_for(const std::string& photo, const BatchOptions& options) {
  if (options.annotate_dir.empty()) return "";
  const std::string name = fs::path(resized_image_path(photo)).filename().string();
  return (fs::path(options.annotate_dir) / (name.substr(0, name.size() - 11) + "_annotated.jpg"))
      .string();
}

std::string absolute_key(const std::string& path) {
  return fs::absolute(path).lexically_normal().string();
}

// The photo that writes a file: as given, and as the key it is compared by.
struct Claim {
  std::string photo;
  std::string photo_key;
};
using Claims = std::map<std::string, Claim>;  // by the key of the file written

// Claims `file` for `photo`; the other photo that claimed it earlier, or "".
// The same photo again (a caller on standard input asking twice) is analysed
// again: its files are its own, and each is renamed into place whole.
std::string claim(Claims& claims, const std::string& file, const std::string& photo) {
  const std::string photo_key = absolute_key(photo);
  const auto [earlier, fresh] = claims.emplace(absolute_key(file), Claim{photo, photo_key});
  return fresh || earlier->second.photo_key == photo_key ? "" : earlier->second.photo;
}

bool stopping(Queue& queue) {
  std::lock_guard<std::mutex> hold(queue.lock);
  return queue.stop_signal != 0;
}

// The run's own inputs, by path and, where the file exists, by device and
// inode: no output may replace one of them.
struct Inputs {
  std::set<std::string> paths;
  std::set<std::pair<dev_t, ino_t>> files;

  void add(const std::string& path) {
    paths.insert(absolute_key(path));
    struct stat info;
    if (::stat(path.c_str(), &info) == 0) files.insert({info.st_dev, info.st_ino});
  }
  bool has(const std::string& path) const {
    struct stat info;
    if (::stat(path.c_str(), &info) == 0 && files.count({info.st_dev, info.st_ino})) return true;
    return paths.count(absolute_key(path)) > 0;
  }
};

// Names the files a photo's job writes and claims them. Two photos whose
// normalised images would share a name: the first keeps it and the second
// is not analysed. Two whose annotated pictures would (one annotation folder
// for photos of several folders): the second is analysed but not drawn.
// Each clash is one whole line on standard error, which workers share.
void claim_files(Job& job, const BatchOptions& options, Claims& claims, const Inputs& inputs) {
  const std::string& photo = job.input.path;
  job.output_path = output_path_for(photo, options);
  if (inputs.has(job.output_path)) {
    // A photo of the run sits there: it is never overwritten.
    std::cerr << "faceprobe-batch: " + photo + " is not analysed: its normalised image " +
                     job.output_path + " is one of the photos given\n";
    job.earlier_claim = job.output_path;
    return;
  }
  job.earlier_claim = claim(claims, job.output_path, photo);
  if (!job.earlier_claim.empty()) {
    std::cerr << "faceprobe-batch: " + photo + " is not analysed: its normalised image " +
                     job.output_path + " would replace that of " + job.earlier_claim + "\n";
    return;
  }
  job.annotated_path = annotated_path_for(photo, options);
  if (job.annotated_path.empty()) return;
  const std::string earlier =
      inputs.has(job.annotated_path) ? job.annotated_path : claim(claims, job.annotated_path, photo);
  if (!earlier.empty()) {
    std::cerr << "faceprobe-batch: " + photo + " is not drawn: its annotated picture " +
                     job.annotated_path + " would replace that of " + earlier + "\n";
    job.annotated_path.clear();
  }
}

// Reads the input in order, keeps this shard's photos, and hands them out.
void read_input(const BatchOptions& options, Queue& queue) {
  Claims claims;
  // Every photo named on the command line is known before the first is
  // analysed; those read from standard input as they come.
  Inputs inputs;
  std::vector<std::vector<BatchInput>> expanded;
  for (const std::string& path : options.paths) {
    expanded.push_back(path == "-" ? std::vector<BatchInput>{} : expand_path(path, options.recursive));
    for (const BatchInput& input : expanded.back()) {
      if (input.refusal.empty()) inputs.add(input.path);
    }
  }
  const auto enqueue = [&](const BatchInput& input) {
    if (stopping(queue) || !in_shard(input.path, options.shard, options.shard_count)) return;
    Job job;
    job.input = input;
    if (input.refusal.empty()) claim_files(job, options, claims, inputs);
    std::lock_guard<std::mutex> hold(queue.lock);
    job.index = queue.enqueued++;
    queue.pending.push_back(std::move(job));
    queue.changed.notify_all();
  };
  for (size_t i = 0; i < options.paths.size(); ++i) {
    if (options.paths[i] != "-") {
      for (const BatchInput& input : expanded[i]) enqueue(input);
      continue;
    }
    std::string line;
    const char separator = options.null_separated ? '\0' : '\n';
    while (!stopping(queue) && std::getline(std::cin, line, separator)) {
      // Lists written on Windows end their lines with CR LF.
      if (!options.null_separated && !line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty()) continue;
      if (line.find('\0') != std::string::npos) {
        // No file name holds a NUL: the line is reported, with the byte
        // shown, and names nothing.
        std::string shown;
        for (char c : line) shown += c ? std::string(1, c) : std::string("\\0");
        enqueue({shown, "ERROR: IMAGE NOT FOUND", "the line holds a NUL byte; use -0 for NUL-separated paths"});
        continue;
      }
      inputs.add(line);
      enqueue({line, "", ""});
    }
  }
  std::lock_guard<std::mutex> hold(queue.lock);
  queue.input_closed = true;
  queue.changed.notify_all();
}

PhotoResult result_of(const Job& job, const BatchOptions& options, Worker& worker) {
  PhotoResult refused;
  if (!job.input.refusal.empty()) {
    refused.status = job.input.refusal;
    refused.payload = job.input.message;
    return refused;
  }
  if (!job.earlier_claim.empty()) {
    refused.status = "ERROR: NORMALISED IMAGE NAME TAKEN";
    refused.payload = job.earlier_claim;
    return refused;
  }
  // While workers hold every core, each photo's face search runs on its
  // worker alone; at the tail of a run it takes the cores they leave.
  const CoreClaim claim;
  return analyse_photo(job.input.path, job.output_path, job.annotated_path, options.max_pixels,
                       worker);
}

void work(const BatchOptions& options, const BatchModels& models, Queue& queue) {
  Worker worker(models);
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> hold(queue.lock);
      queue.changed.wait(hold, [&] {
        return !queue.pending.empty() || queue.input_closed || queue.stop_signal;
      });
      if (queue.pending.empty() || queue.stop_signal) return;
      job = std::move(queue.pending.front());
      queue.pending.pop_front();
      ++queue.busy;
    }
    const PhotoResult result = result_of(job, options, worker);
    const std::string line = result_line(job.input.path, result, options.format);
    std::lock_guard<std::mutex> hold(queue.lock);
    --queue.busy;
    ++queue.statuses[result.status];
    if (!result.write_error.empty()) {
      queue.files_not_written += result.normalised_path.empty() ? 1 : 0;
      queue.files_not_written += !job.annotated_path.empty() && result.annotated_path.empty();
    }
    queue.finished.emplace(job.index, line);
    queue.changed.notify_all();
  }
}

// Standard error on a terminal that shows the progress line: each message
// first clears that line, so the two never run together.
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
  const double rate = seconds > 0 ? done / seconds : 0;
  if (queue.input_closed) {
    const double left = rate > 0 ? (queue.enqueued - done) / rate : 0;
    std::fprintf(stderr, "\r%zu/%zu  %.1f photos/s  %.0f s left ", done, queue.enqueued, rate,
                 left);
  } else {
    std::fprintf(stderr, "\r%zu/?  %.1f photos/s ", done, rate);
  }
}

// Writes the result lines in input order as they become ready. False when
// standard output failed.
bool write_results(Queue& queue) {
  const bool progress = isatty(STDERR_FILENO);
  const auto start = std::chrono::steady_clock::now();
  for (size_t next = 0;; ++next) {
    std::string line;
    {
      std::unique_lock<std::mutex> hold(queue.lock);
      // After a stop signal, the lines of the photos finished so far.
      queue.changed.wait(hold, [&] {
        return queue.finished.count(next) || (queue.input_closed && next == queue.enqueued) ||
               (queue.stop_signal && queue.busy == 0);
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
    std::cout << line << std::flush;
    if (!std::cout) return false;
  }
  if (progress) std::fputs("\n", stderr);
  return true;
}

// OpenCV makes some of its singletons (matrix allocators among them) on first
// use, behind a double-checked lock whose first check reads the pointer
// without the lock. Making them here, before any worker starts, leaves the
// workers nothing to race over.
void warm_up_opencv(const BatchModels& models) {
  AnalysisState state;
  std::copy(std::begin(models.vertices), std::end(models.vertices),
            std::begin(state.model_vertices));
  for (int i = 0; i < kLandmarkCount; ++i) state.landmarks[i] = {100 + 5 * i, 300 - 3 * i};
  cv::Mat canvas(kCanvasSide, kCanvasSide, CV_8UC3, cv::Scalar::all(255));
  std::string record;
  measure_face(canvas, state, record);
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

// photos, ok, each error status, files not written, seconds.
void print_summary(const Queue& queue, double seconds) {
  size_t photos = 0;
  for (const auto& entry : queue.statuses) photos += entry.second;
  const auto ok = queue.statuses.find("ok");
  std::string text = "faceprobe-batch: " + std::to_string(photos) + " photos, " +
                     std::to_string(ok == queue.statuses.end() ? 0 : ok->second) + " ok";
  for (const auto& [status, count] : queue.statuses) {
    if (status != "ok") text += ", " + std::to_string(count) + " " + status;
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
  // Never destroyed: std::cerr may still write through it at exit.
  if (isatty(STDERR_FILENO)) std::cerr.rdbuf(new ClearingStderr);
  // Our own messages say what failed; OpenCV's log would repeat them.
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  std::unique_ptr<BatchModels> models;
  const std::string data_dir = find_data_dir(options.data_dir, error);
  if (data_dir.empty() || !load_batch_models(data_dir, models, error) ||
      !prepare_folder(options.output_dir, error) || !prepare_folder(options.annotate_dir, error)) {
    std::cerr << "faceprobe-batch: " << error << std::endl;
    return 2;
  }
  if (options.format == OutputFormat::kTsv && options.header) {
    std::cout << kTsvHeader << std::flush;
    if (!std::cout) {
      std::cerr << "faceprobe-batch: cannot write to standard output" << std::endl;
      return 1;
    }
  }
  const auto start = std::chrono::steady_clock::now();
  const int jobs = options.jobs > 0 ? options.jobs
                                    : std::max(1u, std::thread::hardware_concurrency());
  // The workers keep the cores busy; OpenCV's own threads inside each call
  // would only compete with them.
  if (jobs > 1) cv::setNumThreads(1);
  warm_up_opencv(*models);

  // SIGTERM, SIGINT and SIGHUP go to one thread, which stops the batch in
  // order: the workers inherit the mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&stop_signals, s);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  Queue queue;
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
  if (!write_results(queue)) {
    // Nobody gets the results any more: end now rather than wait for an
    // input that may stay open. Normalised images are renamed into place
    // whole, so ending mid-write leaves no torn file.
    std::cerr << "faceprobe-batch: cannot write to standard output" << std::endl;
    std::_Exit(1);
  }
  for (std::thread& worker : workers) worker.join();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (stopping(queue)) {
    // The reader may wait on an open standard input: end without it. Every
    // photo started was finished, so no temporary is left behind.
    print_summary(queue, seconds);
    std::_Exit(128 + queue.stop_signal);
  }
  reader.join();
  print_summary(queue, seconds);
  // A photo without a face is a result; a requested file not written is not.
  return queue.files_not_written > 0 ? 1 : 0;
}
