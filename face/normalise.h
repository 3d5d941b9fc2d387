// Crop the face by its first-pass landmarks, letterbox it into a white
// 570x570 canvas, write the canvas as a JPEG and place the landmarks again.
#pragma once

#include <opencv2/core.hpp>
#include <string>

#include "driver/analysis_state.h"
#include "face/landmarks.h"

// Writes the canvas of `photo` to `output_path` and runs the second landmark
// pass on it; `canvas` receives it. state.landmarks must hold the first-pass
// (photo) landmarks; afterwards it holds canvas landmarks. False when the
// second pass finds no face (the written file stays). A failed write is
// reported on standard error and the run goes on; `write_error`, when given,
// receives why ("" when the file was written).
bool normalise_face(const cv::Mat& photo, const std::string& output_path,
                    LandmarkLocator& locator, AnalysisState& state,
                    cv::Mat& canvas, std::string* write_error = nullptr);

// The face box in photo pixels. Each bound is clamped on one side only, so
// the box can stick out of the photo when landmarks lie outside it or the
// face is mirrored; cutting such a box raises cv::Exception.
cv::Rect face_crop_rect(const LandmarkTable& landmarks, int32_t columns,
                        int32_t rows);

// The crop scaled to fit 570x570, keeping its proportions, centred with the
// smaller half of an odd band on top or on the left. Throws
// std::invalid_argument for an empty crop.
cv::Mat letterbox_face(const cv::Mat& crop);

// Where the canvas of the photo at `input_path` is written: the extension of
// the file name (from its last dot, unless that dot starts the name) becomes
// "_resize.jpg". Folder names are never cut.
std::string resized_image_path(const std::string& input_path);

// Writes the canvas as a JPEG with OpenCV's default settings, atomically: the
// file at `path` is either left as it was or replaced by the whole image.
// False when it was not written.
bool write_canvas(const cv::Mat& canvas, const std::string& path);
