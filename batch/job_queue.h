// The hand-over between faceprobe-batch's reader of the input, its workers
// and its writer of results.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "analysis/photo_analysis.h"
#include "batch/inputs.h"
#include "batch/options.h"

struct Job {
  size_t index = 0;
  BatchInput input;
  std::string output_path;
  std::string annotated_path;
  std::string earlier_claim;  // the photo whose normalised image has this name
  std::string clash;          // a name clash to tell on standard error
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
  // --resume: the keys of the lines the table holds, one per photo from the
  // first; those photos are checked against the input and not analysed.
  std::vector<uint64_t> resumed;
  size_t skipped = 0;
  std::string resume_error;  // the input is not the one the table was made from
  // For the summary at the end.
  std::map<std::string, size_t> statuses;
  size_t files_not_written = 0;
};

// Whether a stop signal came or the resumed table is not the input's: no new
// photo is started. halted() is the same for a caller holding the lock.
bool stopping(Queue& queue);
bool halted(const Queue& queue);

// Reads the photos to analyse (arguments, folders, standard input) into the
// queue in order, each with the files it will write and any clash over their
// names, then closes the input.
void read_input(const BatchOptions& options, Queue& queue);

// One worker: analyses queued photos, each under a claimed core, and files
// their result lines, until the input is drained or a stop signal comes.
void work(const BatchOptions& options, const AnalysisModels& models, Queue& queue);
