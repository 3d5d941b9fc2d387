// faceprobe: analyses the face in one photo and prints one record.
// Exit status: 1 when the record was written, -1 (255) on an error line or
// in the exception trap.
#include <atomic>
#include <chrono>
#include <exception>
#include <malloc.h>
#include <future>
#include <memory>
#include <opencv2/core/utils/logger.hpp>
#include <iostream>
#include <string>
#include <vector>

#include "driver/analysis.h"
#include "driver/analysis_state.h"
#include "driver/report.h"
#include "driver/stages_isa.h"
#include "face/detection.h"
#include "face/face_search.h"
#include "face/landmarks.h"
#include "face/normalise.h"
#include "model/candide.h"

namespace {

const char* const kUsage =
    "usage: faceprobe PHOTO\n"
    "Analyses the face in PHOTO with the three data files of the working\n"
    "directory, writes the normalised face beside it (NAME_resize.jpg) and\n"
    "prints one record: 68 landmarks as x,y pairs, ||, the skin brightness in\n"
    "percent, ||, three head-pose angles in degrees.\n"
    "Exit status: 1 with the record; 255 with an ERROR line.\n";

AnalysisState state;

// Tells the model's reader to stop when the run leaves before using it.
struct StopReading {
  std::atomic<bool>& abandon;
  ~StopReading() { abandon = true; }
};

int fail(const char* line) {
  std::cout << line << std::endl;
  return -1;
}

int run(const std::string& path) {
  // The shape model is the longest read of a small photo's run: it is read
  // beside the decode, the cascade and the first face search, and its errors
  // come out where the run reaches it, after theirs. A run that ends sooner
  // stops the read instead of waiting for it.
  std::atomic<bool> abandon{false};
  std::future<std::shared_ptr<const dlib::shape_predictor>> model =
      std::async(std::launch::async | std::launch::deferred,
                 [&abandon] { return read_landmark_model(kShapePredictorFile, &abandon); });
  const StopReading stop_reading{abandon};

  const cv::Mat photo = load_input_image(path, state);
  if (photo.empty()) return fail("ERROR: IMAGE NOT FOUND");

  std::vector<cv::Rect> faces;
  // While the model is read it has a core of its own.
  if (model.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
    cv::setNumThreads(1);
  }
  if (!detect_faces(photo, faces)) return fail("ERROR: CASCADE NOT FOUND");
  if (faces.empty()) return fail("ERROR: FACE NOT FOUND");

  dlib::frontal_face_detector detector = build_face_detector();
  const FaceSearch search(detector);
  const std::vector<dlib::rect_detection> photo_faces =
      find_landmark_faces(photo, detector, search);
  LandmarkLocator locator(std::move(detector), model.get());
  // The model's 120,000 small blocks are left for the process's end to take
  // back at once; freeing them one by one would take longer than the rest.
  static const auto* const kept_model =
      new std::shared_ptr<const dlib::shape_predictor>(locator.predictor);
  (void)kept_model;
  state.landmark_count = kLandmarkCount;
  cv::Mat canvas;
  if (!place_landmarks(photo, photo_faces, resized_image_path(path), locator, state, canvas)) {
    return fail("ERROR: FACE NOT FOUND");
  }
  std::string report;
  append_landmark_segment(report, state);
  read_model_vertices(state);
  measure_face(canvas, state, report);

  if (!write_report(report)) {
    std::cerr << "ERROR: the record could not be written to standard output" << std::endl;
    return -1;
  }
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  // No argument reads as an empty path: "ERROR: IMAGE NOT FOUND". A photo
  // named like an option is given as ./--help.
  const std::string path = argc > 1 ? argv[1] : "";
  if (path == "--help" || path == "--version") {
    std::cout << (path == "--help" ? kUsage : version_line("faceprobe") + "\n");
    return 0;
  }
  // Standard error is for the model reader's diagnostics; OpenCV's own log
  // (an unreadable photo, a missing cascade) would only repeat our lines.
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  // The shape model is 65 MB in 120,000 blocks: heaps that grow 64 MB at a
  // time take it in a few steps instead of hundreds, each of which stalls
  // the other thread's page faults. Untouched, the reserve costs no memory.
  mallopt(M_TOP_PAD, 64 << 20);
  try {
    return run(path);
  } catch (const std::exception& e) {
    std::cout << "ERROR: EXCEPTION THROWN!" << std::endl;
    std::cout << e.what() << std::endl;
    return -1;
  }
}
