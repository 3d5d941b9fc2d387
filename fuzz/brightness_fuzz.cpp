// The brightness measure on arbitrary landmark points: always a percentage.
#include <opencv2/core.hpp>

#include "fuzz/fuzz_input.h"
#include "measures/brightness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in{data, size};
  const int columns = 1 + in.take<uint8_t>() % 64;
  const int rows = 1 + in.take<uint8_t>() % 64;
  cv::Mat image(rows, columns, CV_8UC3);
  cv::randu(image, cv::Scalar::all(0), cv::Scalar::all(256));
  AnalysisState state;
  state.landmark_count = kLandmarkCount;
  for (int index : {4, 8, 12, 21, 22, 48, 54, 57}) {
    state.landmarks[index].x = in.take<int32_t>();
    state.landmarks[index].y = in.take<int32_t>();
  }
  const int32_t percentage = measure_skin_brightness(image, state);
  if (percentage < 0 || percentage > 100) __builtin_trap();
  return 0;
}
