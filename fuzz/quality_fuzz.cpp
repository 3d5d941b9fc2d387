// The quality components on arbitrary landmarks (within 32767 pixels of the
// photo's corner, as any landmark pass can place them), detector boxes and
// head angles: every defined value is finite, every score 0..100.
#include <cmath>
#include <opencv2/core.hpp>

#include "fuzz/fuzz_input.h"
#include "quality/quality.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in{data, size};
  const int columns = 1 + in.take<uint8_t>() % 128;
  const int rows = 1 + in.take<uint8_t>() % 128;
  cv::Mat photo(rows, columns, CV_8UC3);
  cv::randu(photo, cv::Scalar::all(0), cv::Scalar::all(256));
  LandmarkTable landmarks;
  for (LandmarkPoint& point : landmarks) {
    point.x = in.take<int16_t>();
    point.y = in.take<int16_t>();
  }
  std::vector<double> areas(in.take<uint8_t>() % 4);
  for (double& area : areas) area = in.take<uint16_t>();
  NamedPose pose;
  pose.solved = in.take<uint8_t>() % 2;
  pose.pitch = in.take<int16_t>() / 100.0;
  pose.yaw = in.take<int16_t>() / 100.0;
  pose.roll = in.take<int16_t>() / 100.0;
  const FaceQuality quality = measure_quality(photo, landmarks, areas, pose);
  for (const QualityComponent& component : quality.components) {
    if (component.defined && !std::isfinite(component.value)) __builtin_trap();
    if (component.score < 0 || component.score > 100) __builtin_trap();
    if (!component.defined && component.reason.empty()) __builtin_trap();
  }
  return 0;
}
