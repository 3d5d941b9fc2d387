// The face box, the cut and the letterbox on arbitrary landmarks and photo
// sizes: a canvas, or the library's range error / the empty-crop error that
// end a run in the trap.
#include <opencv2/core.hpp>
#include <stdexcept>

#include "face/normalise.h"
#include "fuzz/fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in{data, size};
  const int columns = 1 + in.take<uint8_t>() % 200;
  const int rows = 1 + in.take<uint8_t>() % 200;
  LandmarkTable landmarks;
  for (int index : {8, 27, 36, 45}) {
    landmarks[index].x = in.take<int32_t>();
    landmarks[index].y = in.take<int32_t>();
  }
  const cv::Mat photo(rows, columns, CV_8UC3, cv::Scalar(1, 2, 3));
  try {
    const cv::Mat canvas = letterbox_face(cv::Mat(photo, face_crop_rect(landmarks, columns, rows)));
    if (canvas.rows != kCanvasSide || canvas.cols != kCanvasSide) __builtin_trap();
  } catch (const cv::Exception&) {
  } catch (const std::invalid_argument&) {
  }
  return 0;
}
