// 68 facial landmarks from dlib's frontal face detector and shape predictor.
#pragma once

#include <dlib/image_processing.h>
#include <dlib/image_processing/frontal_face_detector.h>
#include <memory>
#include <opencv2/core.hpp>
#include <string>

#include "driver/analysis_state.h"

inline const char* const kShapePredictorFile =
    "shape_predictor_68_face_landmarks.dat";

// dlib's frontal face detector, the same as dlib::get_frontal_face_detector()
// builds, from bytes unpacked at build time.
dlib::frontal_face_detector build_face_detector();

// Reads a shape predictor in dlib's serialization from `path`, faster than
// dlib's own file reader. A missing, unreadable or damaged file raises the
// serialization error dlib's own reader raises for it, word for word.
void read_shape_predictor(const std::string& path, dlib::shape_predictor& predictor);

// Built once and used by both landmark passes. The detector keeps scratch
// state while it searches, so a thread needs its own copy; the predictor is
// only read (dlib documents concurrent use of one instance as safe), so
// copies of a locator share it.
struct LandmarkLocator {
  // Builds the detector, then reads the model file. dlib's serialization
  // error passes through for a missing or unreadable file; a model whose
  // shapes do not have 68 parts is rejected with std::runtime_error.
  explicit LandmarkLocator(const std::string& model_path = kShapePredictorFile);
  // From parts already built; the same 68-part check.
  LandmarkLocator(dlib::frontal_face_detector detector,
                  std::shared_ptr<const dlib::shape_predictor> predictor);

  dlib::frontal_face_detector detector;
  std::shared_ptr<const dlib::shape_predictor> predictor;
};

// What a landmark pass found besides the points.
struct LandmarkPass {
  int faces = 0;     // faces dlib's detector found
  cv::Rect box;      // the strongest, whose points were placed (empty if none)
  double score = 0;  // the detector's confidence in it
};

// Places the strongest face's 68 points in state.landmarks, in the pixels of
// `image` (8-bit BGR). False, with the table zeroed, when no face is found.
bool locate_landmarks(const cv::Mat& image, LandmarkLocator& locator,
                      AnalysisState& state, LandmarkPass* pass = nullptr);
