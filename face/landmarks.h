// 68 facial landmarks from dlib's frontal face detector and shape predictor.
#pragma once

#include <dlib/image_processing.h>
#include <dlib/image_processing/frontal_face_detector.h>
#include <atomic>
#include <memory>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "driver/analysis_state.h"
#include "face/face_search.h"

inline const char* const kShapePredictorFile =
    "shape_predictor_68_face_landmarks.dat";

// dlib's frontal face detector, the same as dlib::get_frontal_face_detector()
// builds, from bytes unpacked at build time.
dlib::frontal_face_detector build_face_detector();

// Reads a shape predictor in dlib's serialization from `path`, faster than
// dlib's own file reader. A missing, unreadable or damaged file raises the
// serialization error dlib's own reader raises for it, word for word.
void read_shape_predictor(const std::string& path, dlib::shape_predictor& predictor,
                          const std::atomic<bool>* abandon = nullptr);

// Reads the shape model at `path` and checks that it places 68 points, as a
// locator built from the path does, so that a second thread can read it
// while the photo is decoded; the same errors, raised by the same calls.
// Once `*abandon` turns true the read stops within a few megabytes, raising
// std::runtime_error, for a run that will not use the model.
std::shared_ptr<const dlib::shape_predictor> read_landmark_model(
    const std::string& path, const std::atomic<bool>* abandon = nullptr);

// Built once and used by both landmark passes. dlib's detector keeps scratch
// state while it searches, so a thread needs its own copy; the prepared
// search and the predictor are only read (dlib documents concurrent use of
// one predictor as safe), so copies of a locator share them.
struct LandmarkLocator {
  // Builds the detector, then reads the model file. dlib's serialization
  // error passes through for a missing or unreadable file; a model whose
  // shapes do not have 68 parts is rejected with std::runtime_error.
  explicit LandmarkLocator(const std::string& model_path = kShapePredictorFile);
  // From parts already built; the same 68-part check.
  LandmarkLocator(dlib::frontal_face_detector detector,
                  std::shared_ptr<const dlib::shape_predictor> predictor);

  dlib::frontal_face_detector detector;
  std::shared_ptr<const FaceSearch> search;
  std::shared_ptr<const dlib::shape_predictor> predictor;
};

// True when FACEPROBE_SERIAL_SEARCH is set to anything but 0: the landmark
// passes then run dlib's own detector on the calling thread, the search the
// parallel one is compared against.
bool serial_face_search();

// What a landmark pass found besides the points.
struct LandmarkPass {
  int faces = 0;     // faces dlib's detector found
  cv::Rect box;      // the strongest, whose points were placed (empty if none)
  double score = 0;  // the detector's confidence in it
};

// The faces a landmark pass searches `image` (8-bit BGR) for, strongest
// first: dlib's detector, or the same search as tasks (face_search.h) unless
// serial_face_search().
std::vector<dlib::rect_detection> find_landmark_faces(const cv::Mat& image,
                                                      dlib::frontal_face_detector& detector,
                                                      const FaceSearch& search);

// The rest of a landmark pass, once its faces are found: locate_landmarks
// with the search done beforehand.
bool place_face_landmarks(const cv::Mat& image,
                          const std::vector<dlib::rect_detection>& detections,
                          const dlib::shape_predictor& predictor, AnalysisState& state,
                          LandmarkPass* pass = nullptr);

// Places the strongest face's 68 points in state.landmarks, in the pixels of
// `image` (8-bit BGR). False, with the table zeroed, when no face is found.
bool locate_landmarks(const cv::Mat& image, LandmarkLocator& locator,
                      AnalysisState& state, LandmarkPass* pass = nullptr);
