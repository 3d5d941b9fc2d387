// One photo's analysis as faceprobe-batch and faceprobe-serve run it:
// exactly faceprobe's, with the data files loaded once.
#pragma once

#include <memory>
#include <opencv2/objdetect.hpp>
#include <string>

#include "analysis/image_header.h"
#include "driver/analysis_state.h"
#include "face/landmarks.h"
#include "model/named_pose.h"
#include "quality/quality.h"

// What every worker starts from, loaded once before the first photo.
struct AnalysisModels {
  std::string cascade_path;
  LandmarkLocator locator;      // its predictor is shared by every copy
  ModelVertexTable vertices;    // read and checked once
};

// The folder of the three data files: `given` (--data) when not empty;
// otherwise the working directory when all three are there; otherwise the
// installed share/faceprobe (beside the program's bin folder, or where the
// build was configured to install). "" with a message naming every place
// looked in when none holds them all.
std::string find_data_dir(const std::string& given, std::string& error);

// Loads the three data files from `data_dir`. On a missing or broken file
// returns false with a message naming it.
bool load_analysis_models(const std::string& data_dir, std::unique_ptr<AnalysisModels>& models,
                       std::string& error);

// What one worker owns. Shared by all workers, and only read: the shape
// predictor (dlib documents one instance as safe to use from many threads)
// and the model vertices. Not shared: the cascade classifier (its search
// keeps per-image state in the object), the face detector (its call
// operator is not const and keeps scratch buffers), the AnalysisState.
struct Worker {
  explicit Worker(const AnalysisModels& models);
  cv::CascadeClassifier cascade;
  LandmarkLocator locator;
  const AnalysisModels& models;
};

struct PhotoResult {
  std::string status;   // "ok", or the error line faceprobe prints
  std::string payload;  // the record, or an exception's message
  std::string normalised_path;  // "" when it was not written
  std::string annotated_path;   // "" when not asked for or not written
  std::string write_error;      // why a requested file was not written
  int32_t brightness = 0;
  AnalysisState state;  // landmarks and angles when status is "ok"
  // The named head pose, solved when status is "ok" (unsolved, with its
  // reason, where no pose with the face towards the camera fits).
  NamedPose pose;
  // The photo's own frame, as far as the run got: its size once loaded, what
  // the first landmark pass found once it ran, its points once placed.
  bool loaded = false;
  bool first_pass_ran = false;
  LandmarkPass photo_pass;
  bool photo_landmarks_placed = false;
  LandmarkTable photo_landmarks{};
  // The quality components, measured when status is "ok" (quality_error
  // says why not, should they fail).
  bool quality_measured = false;
  FaceQuality quality;
  std::string quality_error;
};

// OpenCV makes some of its singletons (matrix allocators among them) on first
// use, behind a double-checked lock whose first check reads the pointer
// without the lock. The front ends call this, which measures a made-up face,
// before any worker starts, and leave the workers nothing to race over.
void warm_up_opencv(const AnalysisModels& models);

// What the front ends refuse before decoding: formats not in `formats`
// (recognised by their first bytes), photos whose header claims more than
// `max_pixels`, progressive JPEGs of more than kMaxJpegScans scans.
struct PhotoLimits {
  int64_t max_pixels = 100000000;
  FormatSet formats = kAnyFormat;
};

// Whether `header` is refused by `limits`; if so `result` has its status
// (ERROR: FORMAT NOT ACCEPTED or ERROR: IMAGE TOO LARGE) and reason.
bool refused_from_header(const ImageHeader& header, const PhotoLimits& limits,
                         PhotoResult& result);

// Runs faceprobe's analysis on one photo, writing the normalised image to
// `output_path` and, when `annotated_path` is not empty, the annotated face
// there. Every failure, exceptions included, is the result; a file that could
// not be written is named in `write_error`, the analysis stands. A path that
// is not a regular file (a FIFO, a device, a folder) is refused without being
// opened. What `limits` refuses is refused from the header, before decoding;
// a photo of more than `limits.max_pixels` whose header could not be read,
// once decoded.
PhotoResult analyse_photo(const std::string& path, const std::string& output_path,
                          const std::string& annotated_path, const PhotoLimits& limits,
                          Worker& worker);

// The canvas with its landmarks and, where the named pose was solved, the
// head's axes drawn from the top of the nose bridge.
cv::Mat annotate_face(const cv::Mat& canvas, const AnalysisState& state, const NamedPose& pose);
