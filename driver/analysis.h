// The steps of one analysis that every command runs the same way, between
// the face gate and the model file, and after the model file.
#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "driver/analysis_state.h"
#include "face/landmarks.h"

// The first landmark pass on the photo, whose faces are already found
// (find_landmark_faces), then the normalised canvas written to
// `output_path` and the second pass on it. False when either pass finds no
// face. On success state.landmarks holds canvas landmarks and `canvas` the
// 570x570 image they lie in. `write_error` as for normalise_face.
// `photo_pass`, when given, receives what the first pass found on the photo,
// and `photo_landmarks` its points in photo pixels.
bool place_landmarks(const cv::Mat& photo, const std::vector<dlib::rect_detection>& photo_faces,
                     const std::string& output_path, LandmarkLocator& locator,
                     AnalysisState& state, cv::Mat& canvas, std::string* write_error = nullptr,
                     LandmarkPass* photo_pass = nullptr, LandmarkTable* photo_landmarks = nullptr);

// Brightness on the canvas, head pose from the canvas landmarks and the model
// vertices in `state`, their segments appended to `report`. Returns the
// brightness percentage.
int32_t measure_face(const cv::Mat& canvas, AnalysisState& state, std::string& report);
