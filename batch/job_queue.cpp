#include "batch/job_queue.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "batch/result_line.h"
#include "batch/table.h"
#include "face/normalise.h"
#include "face/task_pool.h"

namespace fs = std::filesystem;

namespace {

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

// The photo that writes a file: as given, and as the key it is compared by.
struct Claim {
  std::string photo;
  std::string photo_key;
};
using Claims = std::map<std::string, Claim>;  // by the key of the file written

// Claims the file of `file_key` for `photo`; the other photo that claimed it
// earlier, or "". The same photo again (a caller on standard input asking
// twice) is analysed again: its files are its own, and each is renamed into
// place whole.
std::string claim(Claims& claims, const std::string& file_key, const std::string& photo,
                  const std::string& photo_key) {
  const auto [earlier, fresh] = claims.emplace(file_key, Claim{photo, photo_key});
  return fresh || earlier->second.photo_key == photo_key ? "" : earlier->second.photo;
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
  bool has(const std::string& path, const std::string& key) const {
    struct stat info;
    if (::stat(path.c_str(), &info) == 0 && files.count({info.st_dev, info.st_ino})) return true;
    return paths.count(key) > 0;
  }
};

// Names the files a photo's job writes and claims them. Two photos whose
// normalised images would share a name: the first keeps it and the second
// is not analysed. Two whose annotated pictures would (one annotation folder
// for photos of several folders): the second is analysed but not drawn.
// Each clash is one whole line in `job.clash`, for standard error.
void claim_files(Job& job, const BatchOptions& options, Claims& claims, const Inputs& inputs) {
  const std::string& photo = job.input.path;
  const std::string photo_key = absolute_key(photo);
  job.output_path = output_path_for(photo, options);
  const std::string output_key = absolute_key(job.output_path);
  if (inputs.has(job.output_path, output_key)) {
    // A photo of the run sits there: it is never overwritten.
    job.clash = "faceprobe-batch: " + photo + " is not analysed: its normalised image " +
                job.output_path + " is one of the photos given\n";
    job.earlier_claim = job.output_path;
    return;
  }
  job.earlier_claim = claim(claims, output_key, photo, photo_key);
  if (!job.earlier_claim.empty()) {
    job.clash = "faceprobe-batch: " + photo + " is not analysed: its normalised image " +
                job.output_path + " would replace that of " + job.earlier_claim + "\n";
    return;
  }
  job.annotated_path = annotated_path_for(photo, options);
  if (job.annotated_path.empty()) return;
  const std::string annotated_key = absolute_key(job.annotated_path);
  const std::string earlier = inputs.has(job.annotated_path, annotated_key)
                                  ? job.annotated_path
                                  : claim(claims, annotated_key, photo, photo_key);
  if (!earlier.empty()) {
    job.clash = "faceprobe-batch: " + photo + " is not drawn: its annotated picture " +
                job.annotated_path + " would replace that of " + earlier + "\n";
    job.annotated_path.clear();
  }
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
  return analyse_photo(job.input.path, job.output_path, job.annotated_path,
                       PhotoLimits{options.max_pixels, options.formats}, worker);
}

bool has_header(const BatchOptions& options) {
  return options.format == OutputFormat::kTsv && options.header;
}

// A photo whose line the resumed table holds already: it must be the photo
// of that line, else the input is another and the run stops.
void skip_resumed(const Job& job, const BatchOptions& options, Queue& queue) {
  if (line_key(job.input.path, options.format) == queue.resumed[job.index]) {
    ++queue.skipped;
    return;
  }
  if (queue.resume_error.empty()) {
    queue.resume_error = options.output + " line " +
                         std::to_string(job.index + 1 + has_header(options)) +
                         " is not the line of the input's photo " + job.input.path +
                         ": it is not the input the table was made from";
  }
  queue.changed.notify_all();
}

}  // namespace

bool stopping(Queue& queue) {
  std::lock_guard<std::mutex> hold(queue.lock);
  return halted(queue);
}

bool halted(const Queue& queue) { return queue.stop_signal != 0 || !queue.resume_error.empty(); }

// Reads the input in order, keeps this shard's photos, and hands them out.
void read_input(const BatchOptions& options, Queue& queue) {
  Claims claims;
  // Every photo named on the command line is known before the first is
  // analysed; those read from standard input as they come.
  Inputs inputs;
  std::vector<std::vector<BatchInput>> expanded;
  for (const std::string& path : options.paths) {
    expanded.push_back(path == "-" ? std::vector<BatchInput>{}
                                   : expand_path(path, options.recursive));
    for (const BatchInput& input : expanded.back()) {
      if (input.refusal.empty()) inputs.add(input.path);
    }
  }
  const auto enqueue = [&](const BatchInput& input) {
    if (stopping(queue) || !in_shard(input.path, options.shard, options.shard_count)) return;
    Job job;
    job.input = input;
    if (input.refusal.empty()) claim_files(job, options, claims, inputs);
    const std::string clash = job.clash;
    {
      std::lock_guard<std::mutex> hold(queue.lock);
      job.index = queue.enqueued++;
      // A photo the resumed table holds told its clash when its line was written.
      if (job.index < queue.resumed.size()) {
        skip_resumed(job, options, queue);
        return;
      }
      queue.pending.push_back(std::move(job));
      queue.changed.notify_all();
    }
    // One whole line, as workers share standard error.
    std::cerr << clash;
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
        enqueue({shown, "ERROR: IMAGE NOT FOUND",
                 "the line holds a NUL byte; use -0 for NUL-separated paths"});
        continue;
      }
      inputs.add(line);
      enqueue({line, "", ""});
    }
  }
  std::lock_guard<std::mutex> hold(queue.lock);
  if (queue.resume_error.empty() && queue.enqueued < queue.resumed.size()) {
    queue.resume_error = options.output + " holds " + std::to_string(queue.resumed.size()) +
                         " photos' lines, the input only " + std::to_string(queue.enqueued) +
                         " photos: it is not the input the table was made from";
  }
  queue.input_closed = true;
  queue.changed.notify_all();
}

void work(const BatchOptions& options, const AnalysisModels& models, Queue& queue) {
  Worker worker(models);
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> hold(queue.lock);
      queue.changed.wait(
          hold, [&] { return !queue.pending.empty() || queue.input_closed || halted(queue); });
      if (queue.pending.empty() || halted(queue)) return;
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
