#include "measures/brightness.h"

#include <algorithm>

namespace {

// Halves truncate toward zero; the sums are taken in 64 bits so that points
// far outside any image cannot overflow.
cv::Point midpoint(const LandmarkPoint& a, const LandmarkPoint& b) {
  return {static_cast<int>((int64_t{a.x} + b.x) / 2),
          static_cast<int>((int64_t{a.y} + b.y) / 2)};
}

}  // namespace

int32_t measure_skin_brightness(const cv::Mat& image, const AnalysisState& state) {
  const LandmarkTable& l = state.landmarks;
  const cv::Point samples[4] = {
      midpoint(l[21], l[22]),  // between the eyebrows
      midpoint(l[8], l[57]),   // chin
      midpoint(l[4], l[48]),   // cheek on the image's left
      midpoint(l[12], l[54]),  // cheek on the image's right
  };
  float sums[3] = {0.0f, 0.0f, 0.0f};
  for (const cv::Point& point : samples) {
    const PixelSample pixel = sample_pixel(image, point);
    for (int c = 0; c < 3; ++c) sums[c] += pixel.channel[c];
  }
  float means[3];
  for (int c = 0; c < 3; ++c) means[c] = static_cast<float>(sums[c] * 0.25);
  const float value = std::max({means[0], means[1], means[2]});
  return static_cast<int32_t>(value / 255.0 * 100.0);
}

PixelSample sample_pixel(const cv::Mat& image, const cv::Point& point) {
  PixelSample sample;
  if (point.x > 0 && point.y > 0 && point.x < image.cols && point.y < image.rows) {
    const uchar* row = image.data + image.step[0] * point.y;
    for (int c = 0; c < 3; ++c) sample.channel[c] = static_cast<float>(row[3 * point.x + c]);
  }
  return sample;
}
