// Where the face is, in photo pixels, as the quality components measure it.
#pragma once

#include <opencv2/core.hpp>
#include <vector>

#include "driver/analysis_state.h"

struct FaceFrame {
  cv::Point2d points[kLandmarkCount];
  // Each eye's centre: the middle of its two corners. The photo-left eye is
  // landmarks 36-41 (the subject's right eye), the photo-right 42-47.
  cv::Point2d left_eye, right_eye;
  cv::Point2d eye_mid;      // between the two eye centres
  cv::Point2d mouth;        // between the mouth's corners, 48 and 54
  double eye_distance = 0;  // IED: between the eye centres
  double eye_to_chin = 0;   // T: from the eye midpoint to the chin, 8
};

FaceFrame face_frame(const LandmarkTable& landmarks);

// The convex hull of the 68 points, rounded to photo pixels.
std::vector<cv::Point> face_hull(const FaceFrame& frame);

// The square of side 0.3 IED below `eye`, half the eye-to-mouth distance
// down, on the photo's pixels.
cv::Rect cheek_square(const FaceFrame& frame, const cv::Point2d& eye);
