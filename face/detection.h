// The face gate: load the photo and ask the frontal-face Haar cascade
// whether it shows a face at all.
#pragma once

#include <opencv2/core.hpp>
#include <opencv2/objdetect.hpp>
#include <string>
#include <vector>

#include "driver/analysis_state.h"

inline const char* const kCascadeFile = "haarcascade_frontalface_alt.xml";

// Reads the photo as 8-bit BGR (grey, palette, 4-channel and 16-bit files are
// converted). Empty when the file is missing or not a readable image; else
// records the photo's size in the state.
cv::Mat load_input_image(const std::string& path, AnalysisState& state);

// Loads the cascade and searches the photo. False when the cascade cannot be
// loaded; otherwise true with the faces found (possibly none).
bool detect_faces(const cv::Mat& photo, std::vector<cv::Rect>& faces,
                  const std::string& cascade_path = kCascadeFile);

// The search alone, with a cascade the caller has loaded.
void search_faces(cv::CascadeClassifier& cascade, const cv::Mat& photo,
                  std::vector<cv::Rect>& faces);

// Side of the smallest square face searched for: a tenth of the width,
// rounded half to even, never below 100.
int min_face_size(int32_t image_width);
