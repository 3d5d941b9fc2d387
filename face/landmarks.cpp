#include "face/landmarks.h"

#include <dlib/opencv/cv_image.h>
#include <stdexcept>
#include <vector>

LandmarkLocator::LandmarkLocator(const std::string& model_path)
    : detector(dlib::get_frontal_face_detector()) {
  auto model = std::make_shared<dlib::shape_predictor>();
  dlib::deserialize(model_path) >> *model;
  if (model->num_parts() != static_cast<unsigned long>(kLandmarkCount)) {
    throw std::runtime_error("The shape predictor in " + model_path + " places " +
                             std::to_string(model->num_parts()) +
                             " points per face; 68 are needed.");
  }
  predictor = std::move(model);
}

bool locate_landmarks(const cv::Mat& image, LandmarkLocator& locator,
                      AnalysisState& state) {
  // Wraps the Mat's pixels without copying: `image` must outlive `pixels`.
  dlib::cv_image<dlib::bgr_pixel> pixels(image);
  const std::vector<dlib::rectangle> faces = locator.detector(pixels, 0.0);
  std::vector<dlib::full_object_detection> shapes;
  for (const dlib::rectangle& face : faces) {
    shapes.push_back((*locator.predictor)(pixels, face));
  }
  if (faces.empty() || shapes.empty()) {
    for (int i = 0; i < state.landmark_count; ++i) state.landmarks[i] = {};
    return false;
  }
  const dlib::full_object_detection& shape = shapes.front();
  for (int i = 0; i < state.landmark_count; ++i) {
    state.landmarks[i].x = static_cast<int32_t>(shape.part(i).x());
    state.landmarks[i].y = static_cast<int32_t>(shape.part(i).y());
  }
  return true;
}
