#include "face/detection.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

cv::Mat load_input_image(const std::string& path, AnalysisState& state) {
  cv::Mat photo = cv::imread(path, cv::IMREAD_COLOR);
  if (photo.empty()) return photo;
  state.image_width = photo.cols;
  state.image_height = photo.rows;
  return photo;
}

bool detect_faces(const cv::Mat& photo, std::vector<cv::Rect>& faces,
                  const std::string& cascade_path) {
  cv::CascadeClassifier cascade;
  if (!cascade.load(cascade_path)) return false;
  search_faces(cascade, photo, faces);
  return true;
}

void search_faces(cv::CascadeClassifier& cascade, const cv::Mat& photo,
                  std::vector<cv::Rect>& faces) {
  cv::Mat grey;
  cv::cvtColor(photo, grey, cv::COLOR_BGR2GRAY, 0);
  cv::equalizeHist(grey, grey);
  const int m = min_face_size(grey.cols);
  cascade.detectMultiScale(grey, faces, 1.1, 2, cv::CASCADE_SCALE_IMAGE,
                           cv::Size(m, m), cv::Size(0, 0));
}

int min_face_size(int32_t image_width) {
  const int rounded = cvRound(static_cast<double>(image_width * 10) / 100.0);
  return rounded <= 100 ? 100 : rounded;
}
