#include "quality/face_frame.h"

#include <cmath>
#include <opencv2/imgproc.hpp>

namespace {

cv::Point2d middle(const cv::Point2d& a, const cv::Point2d& b) { return 0.5 * (a + b); }

}  // namespace

FaceFrame face_frame(const LandmarkTable& landmarks) {
  FaceFrame frame;
  for (int i = 0; i < kLandmarkCount; ++i)
    frame.points[i] = {double(landmarks[i].x), double(landmarks[i].y)};
  const cv::Point2d* p = frame.points;
  frame.left_eye = middle(p[36], p[39]);
  frame.right_eye = middle(p[42], p[45]);
  frame.eye_mid = middle(frame.left_eye, frame.right_eye);
  frame.mouth = middle(p[48], p[54]);
  frame.eye_distance = cv::norm(frame.right_eye - frame.left_eye);
  frame.eye_to_chin = cv::norm(p[8] - frame.eye_mid);
  return frame;
}

std::vector<cv::Point> face_hull(const FaceFrame& frame) {
  std::vector<cv::Point> points;
  for (const cv::Point2d& p : frame.points) points.emplace_back(cvRound(p.x), cvRound(p.y));
  std::vector<cv::Point> hull;
  cv::convexHull(points, hull);
  return hull;
}

cv::Rect cheek_square(const FaceFrame& frame, const cv::Point2d& eye) {
  const double side = 0.3 * frame.eye_distance;
  const cv::Point2d centre = eye + 0.5 * (frame.mouth - frame.eye_mid);
  const int length = cvRound(side);
  return {cvRound(centre.x - 0.5 * side), cvRound(centre.y - 0.5 * side), length, length};
}
