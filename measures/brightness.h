// Skin brightness: the HSV value over four skin samples between landmarks.
#pragma once

#include <opencv2/core.hpp>

#include "driver/analysis_state.h"

struct PixelSample {
  float channel[3] = {0.0f, 0.0f, 0.0f};
};

// Percentage 0..100 of the brightest channel mean over the four samples
// (between the eyebrows, on the chin, on both cheeks). `image` is 8-bit with
// three channels, in whose pixels state.landmarks lie.
int32_t measure_skin_brightness(const cv::Mat& image, const AnalysisState& state);

// The three channels at `point`, or zeros outside. Column 0 and row 0 count
// as outside.
PixelSample sample_pixel(const cv::Mat& image, const cv::Point& point);
