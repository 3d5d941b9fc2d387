#include "driver/analysis.h"

#include <algorithm>
#include <iterator>

#include "driver/report.h"
#include "face/normalise.h"
#include "measures/brightness.h"
#include "model/head_pose.h"

bool place_landmarks(const cv::Mat& photo, const std::vector<dlib::rect_detection>& photo_faces,
                     const std::string& output_path, LandmarkLocator& locator,
                     AnalysisState& state, cv::Mat& canvas, std::string* write_error,
                     LandmarkPass* photo_pass, LandmarkTable* photo_landmarks) {
  if (!place_face_landmarks(photo, photo_faces, *locator.predictor, state, photo_pass)) {
    return false;
  }
  if (photo_landmarks) std::copy(std::begin(state.landmarks), std::end(state.landmarks),
                                 std::begin(*photo_landmarks));
  return normalise_face(photo, output_path, locator, state, canvas, write_error);
}

int32_t measure_face(const cv::Mat& canvas, AnalysisState& state, std::string& report) {
  // The landmarks are canvas pixels, so the canvas is the image to sample.
  const int32_t brightness = measure_skin_brightness(canvas, state);
  append_brightness_segment(report, brightness);
  estimate_head_pose(state);
  normalise_pose_angles(state);
  append_angle_segment(report, state);
  return brightness;
}
